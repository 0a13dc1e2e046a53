// Closed-form kernel estimate from predicted sharp gradients.
#pragma once

#include "fourier/level_spectra.h"

namespace kestrel {

// Writes the kernelRows x kernelCols kernel k (row-major, centre at
// (kernelRows/2, kernelCols/2)) that minimises, under circular convolution
// on the level's padded grid,
//   0.5 |k*px - bx|^2 + 0.5 |k*py - by|^2 + weight |k|^2,
// where px, py are the predicted gradients (rows x cols each, the level
// image's layout) and bx, by the blurred level gradients, both placed at
// (padTop, padLeft). The result is raw: it may hold negative values and
// need not sum to 1. weight must not be negative; with weight 0 a
// frequency absent from both predicted gradients gets 0 (minimum norm).
// Works in the record's scratch space, so estimates on one record must not
// run at the same time.
void estimateKernel(const double* predGradX, const double* predGradY,
                    LevelSpectra& levelSpectra, int rows, int cols, int kernelRows,
                    int kernelCols, double* kernel, double weight);

}  // namespace kestrel
