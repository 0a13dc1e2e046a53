// Re-centring of a blur kernel: a sub-sample shift with bilinear
// interpolation that moves the kernel's centre of mass onto the centre of
// its grid.
//
// A kernel is kernelHeight rows x kernelWidth columns, row-major, top row
// first. The target is the zero-based column (kernelWidth + 1) / 2 - 1 and
// row (kernelHeight + 1) / 2 - 1 (integer division), the centre of an odd
// side. Note the width comes first.
#pragma once

namespace kestrel {

// The centre of mass is taken without dividing by the sum, for a kernel that
// sums to 1. Output samples whose source point lies beyond the grid are 0 and
// the result is not renormalised, so shifted-out mass is lost and the caller
// can judge the shift by the remaining sum. kernel and output may be the same
// grid. A kernel with a non-finite centre of mass gives an all-zero output.
// Returns 0.
int recentreKernel(const double* kernel, double* output, int kernelWidth, int kernelHeight);

}  // namespace kestrel
