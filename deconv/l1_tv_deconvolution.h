// Non-blind deconvolution of one plane under an L1 data term and
// anisotropic total variation, with ringing suppression:
//
//   minimise |k * x - y|_1 + lambda (|d_h x|_1 + |d_v x|_1)
//
// by half-quadratic splitting: the residual is split off under a falling
// data threshold t = 1, 1/3, ... 1/81 (five rounds), and within each round
// the gradients under a rising penalty beta = mu, 2 mu, ... while
// 1/beta >= 0.01 and beta/mu < 1024 (ten values as a rule, fewer once beta
// would exceed 100, none for mu > 100).
#pragma once

#include "deconv/iteration_log.h"

namespace kestrel {

// y: observed plane, rows x cols doubles, row-major, top row first; not
// modified. x: result plane of the same size, distinct from y; its prior
// contents are ignored. k: kernel, kh x kw doubles, row-major, used as
// given (not normalised); its centre is element (kh/2, kw/2).
//
// The residual k * x uses replicated borders; the image step treats the
// plane as periodic, so pad the plane first (padImage) and crop after.
// When d > 1 a second solve with weight d * lambda is combined with the
// first through a 7x7 median of their difference, which suppresses ringing.
// The two solves run at once when threads allow; the result does not
// depend on the thread count.
// The result is not clamped.
//
// x is always first set to a copy of y. Returns false, leaving that copy,
// when kh or kw is even or when the kernel is larger than the plane;
// nothing is printed.
// A kernel summing to 0 leaves the plane's mean undetermined: that
// frequency is set to 0 rather than divided by 0, so every solve gives a
// finite estimate with mean 0. A weight whose reciprocal overflows (0, or a
// tiny subnormal, for which the halving would never end) runs no iteration.
// log, when given, receives one record per gradient-and-image step.
bool l1TvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh, int kw,
                    double lambda, int d, IterationLog* log = nullptr);

}  // namespace kestrel
