// Closed-form latent (sharp) image estimate for a known kernel.
#pragma once

#include "fourier/level_spectra.h"

namespace kestrel {

// Writes into latent (rows x cols, row-major) the image x that minimises,
// under circular convolution on the level grid,
//   sum over D of w_D |D(k*x) - D y|^2 + weight (|dx x|^2 + |dy x|^2),
// with y the edge-tapered blurred level image, D the identity (w 1), the
// first differences (w 0.5) and the second differences (w 0.25); then clamps
// it to [0, 1]. The kernel is kernelRows x kernelCols, centre at
// (kernelRows/2, kernelCols/2); weight must not be negative.
// A frequency where the cost does not depend on x (W |K|^2 + weight G = 0,
// e.g. the mean for a kernel summing to 0) gets the value 0, the
// minimum-norm choice; a value that is not a number comes out as 0.
// Works in the record's scratch space, so estimates on one record must not
// run at the same time.
void estimateLatent(const double* kernel, double* latent, LevelSpectra& levelSpectra,
                    int rows, int cols, int kernelRows, int kernelCols, double weight);

}  // namespace kestrel
