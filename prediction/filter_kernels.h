// Builders of small filter kernels: a normalised Gaussian, the two-tap
// difference, and the placement of a small kernel in a larger zeroed grid.
//
// A grid of c columns and r rows is r*c doubles, row-major, first row first:
// element (column j, row i) is at index i*c + j. Every builder returns a new
// grid that the caller owns; sources are only read.
#pragma once

#include <vector>

namespace kestrel {

// g(j, i) = exp(((j - cx)^2 + (i - cy)^2) / (-2 sigma^2)) with the real centre
// cx = (columns - 1) / 2, cy = (rows - 1) / 2, divided by the sum of all values.
// sigma <= 0 (or NaN) gives the limit sigma -> 0, as does a sigma so small that
// every value underflows: the mass is shared equally by the elements nearest
// the centre (a unit impulse for odd sizes).
std::vector<double> makeGaussianKernel(unsigned columns, unsigned rows, double sigma);

// The two taps 1.0, -1.0.
std::vector<double> makeDiffKernel();

// A zeroed targetColumns x targetRows grid holding the columns x rows source
// with its top-left element at column (targetColumns - columns + 1) / 2 and
// row (targetRows - rows + 1) / 2 (rounded down), so an odd source's centre
// lands on column targetColumns / 2, row targetRows / 2. Equal sizes copy the
// source. A target smaller than the source keeps only the part of the
// source that falls inside it, placed by the same rule.
std::vector<double> centerInGrid(const double* source, unsigned columns, unsigned rows,
                                 unsigned targetColumns, unsigned targetRows);

// makeGaussianKernel(columns, rows, sigma) centred in a
// targetColumns x targetRows grid.
std::vector<double> gaussianInGrid(unsigned columns, unsigned rows, double sigma,
                                   unsigned targetColumns, unsigned targetRows);

// The difference kernel as 2 columns x 1 row centred in the target grid.
std::vector<double> diffXInGrid(unsigned targetColumns, unsigned targetRows);

// The difference kernel as 1 column x 2 rows centred in the target grid.
std::vector<double> diffYInGrid(unsigned targetColumns, unsigned targetRows);

}  // namespace kestrel
