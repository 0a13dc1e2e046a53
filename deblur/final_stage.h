// What both kernel estimators share: the gamma-corrected grey image they
// estimate on, and the final stage that deconvolves every plane of the
// picture with the estimated kernel.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fourier/grid.h"

namespace kestrel {

// What the driver is doing, for progress displays. A ConsoleMessage report
// carries a line of text for the user in message: the library prints
// nothing itself, its caller decides where the lines go. SizeMeasurement is
// the kernel estimation that measures an automatic kernel size, reported
// like KernelEstimation.
struct DeblurProgress {
  enum class Stage { ConsoleMessage, SizeMeasurement, KernelEstimation, Padding, Deconvolution };
  Stage stage = Stage::KernelEstimation;
  std::string message;  // ConsoleMessage only, ending in a newline
  int level = 0;      // pyramid level, counted from 1 at the coarsest
  int levels = 0;
  int iteration = 0;  // counted from 1
  int iterations = 0;
  int plane = 0;      // counted from 1
  int planes = 0;
  double done = 0.0;  // share of the stage's work finished before this report, 0 to 1
};

using DeblurProgressCallback = std::function<void(const DeblurProgress&)>;

// Hands message to progress as a ConsoleMessage report; without progress
// the message goes nowhere.
void announce(const std::string& message, const DeblurProgressCallback& progress);

// The grey image of channels (1 or 3) planes of height x width samples:
// v^gamma for one plane, 0.2989 R^gamma + 0.587 G^gamma + 0.114 B^gamma for
// three, clamped to [0, 1].
std::vector<double> gammaGreyImage(const double* input, int height, int width, int channels,
                                   double gamma);

// Noise of the planes the final stage deconvolves one by one: the mean over
// the channels (1 or 3) planes of height x width of each plane's own
// estimate (noise_estimate.h).
double planeNoise(const double* input, int height, int width, int channels);

// The final deconvolution's wtdeconv for planes carrying noise of
// planeNoiseSigma: growing a little faster than the noise, so that the
// smoothness prior holds down what the deconvolution amplifies; within
// [0.005, 100].
double automaticDeconvWeight(double planeNoiseSigma);

// The same for a kernel estimated from the picture itself: real shake and an
// estimated kernel never match exactly, and what they leave unexplained
// needs smoothing as noise does, so a fixed mismatch is added to the noise.
double blindDeconvWeight(double planeNoiseSigma);

// Pads every plane of input by the kernel size on each side, deconvolves it
// with kernel (kheight x kwidth, non-negative, summing to 1) and crops the
// result into output (same layout as input, every sample written). denoise
// >= 1 selects the L1 deconvolution, which gets wtdeconv; otherwise the
// least-squares one gets wtdeconv / 100. Reports the stage messages.
// Returns false when the deconvolution of some plane refused the kernel
// (that plane is still cropped into output, as the input's own samples).
bool deconvolvePicture(const double* input, double* output, int height, int width, int channels,
                       const double* kernel, int kheight, int kwidth, double wtdeconv,
                       int deringingWeight, int denoise, const DeblurProgressCallback& progress);

}  // namespace kestrel
