// Blind kernel estimation under a sparsity prior on the gradients of the
// latent (sharp) image.
//
// Coarse to fine on a pyramid of grey images whose sides shrink by 1/sqrt(2)
// a level, a few iterations per level alternate two closed-form steps on a
// canvas that extends the level image smoothly across its borders:
//   - the latent image minimising |k * x - y|^2 + lambda |grad x|_0, by
//     splitting the gradients off under a doubling penalty (each split
//     hard-thresholds the gradients; each image update is exact in the
//     Fourier domain);
//   - the kernel minimising |k * grad x - grad y|^2 + ridge |k|^2 over the
//     pixels that are inside the picture and away from clipped highlights,
//     on a noisy picture with the frequencies where noise dominates damped,
//     then cleaned: negative entries and faint specks cleared, pieces that
//     neither reach a bright cell nor carry much mass removed (faint
//     strokes that join bright ones kept), normalised.
// lambda falls over the iterations of a level to a floor that rises with the
// picture's noise, so that noise is not taken for edges.
#pragma once

#include <vector>

#include "deblur/final_stage.h"

namespace kestrel {

// Ratio between the sides of neighbouring levels.
constexpr double kSparseScaleRatio = 0.70710678118654752;

struct SparseLevel {
  double scale = 1.0;  // kSparseScaleRatio^s
  int width = 0;
  int height = 0;
  int kernelWidth = 0;   // odd, at least 3 above level 0
  int kernelHeight = 0;
};

// Element s describes level s (0 = full resolution with the given kernel
// size, last = coarsest, whose larger kernel side is 3). Requires kernel
// sides of at least 1 with the larger at least 3.
std::vector<SparseLevel> sparseSchedule(int width, int height, int kernelWidth, int kernelHeight);

// True when every level's image is at least as large as its kernel in both
// directions.
bool sparseScheduleFitsPicture(const std::vector<SparseLevel>& schedule);

// grey: rows x cols doubles, row-major, top row first, in [0, 1].
// highlights: rows x cols, 1 where the picture is clipped at its brightest
// and 0 elsewhere, or nullptr for none. kernel: kernelRows x kernelCols
// (both odd), receives the estimate: non-negative, summing to 1; the
// centred delta when the picture holds nothing to estimate from. noiseSigma
// is the picture's noise (0 for none). dampNoise: the kernel step damps
// the frequencies where that noise outweighs the picture (without, it fits
// all frequencies alike, as the kernel size measurement expects). The
// schedule must fit the picture. Reports "Level %d" as each level starts.
void estimateKernelSparse(const double* grey, const double* highlights, int rows, int cols,
                          double* kernel, int kernelRows, int kernelCols, double noiseSigma,
                          const DeblurProgressCallback& progress = {}, bool dampNoise = true);

// The kernel of a whole picture, planes as deblurSparse takes them: estimated
// on their grey image, away from clipped samples, and on a large picture
// only within its window richest in edges.
void estimatePictureKernelSparse(const double* input, int height, int width, int channels,
                                 double* kernel, int kheight, int kwidth, double noiseSigma,
                                 const DeblurProgressCallback& progress = {},
                                 bool dampNoise = true);

// Blind deblurring with the sparse estimator: the arguments are those of
// deblurMultiScale (multiscale.h) without gamma and wtscale, plus
// noiseSigma, the noise of the picture's grey image (estimatePictureNoise).
// The kernel is estimated on the grey image of the samples as they are,
// which the final stage deconvolves. Returns 0, or -1 when the deconvolution
// of some plane refused the kernel.
int deblurSparse(const double* input, double* output, int height, int width, int channels,
                 double* kernel, int kheight, int kwidth, double wtdeconv, int deringingWeight,
                 int denoise, double noiseSigma, const DeblurProgressCallback& progress = {});

}  // namespace kestrel
