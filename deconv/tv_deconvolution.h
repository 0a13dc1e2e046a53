// Non-blind deconvolution of one plane under a least-squares data term and
// anisotropic total variation:
//
//   minimise 1/2 |k * x - y|^2 + lambda (|d_h x|_1 + |d_v x|_1)
//
// by splitting the gradients off under a doubling penalty beta = mu, 2 mu,
// ... while 1/beta >= 0.01; each step shrinks the gradients with threshold
// mu/beta (1, 1/2, 1/4, ... whatever mu is) and solves for the image
// exactly in the Fourier domain with periodic boundaries.
//
// Planes and kernel as for l1TvDeconvolve: y and x are rows x cols doubles,
// row-major, top row first, x distinct from y; k is kh x kw, used as given.
// x is always first set to a copy of y. Both routines return false, leaving
// that copy, when kh or kw is even or when the kernel is larger than the
// plane. Nothing is printed. A kernel summing to 0 leaves the plane's mean
// undetermined: that frequency is set to 0 rather than divided by 0, so
// every solve gives a finite estimate with mean 0. A weight whose reciprocal overflows (0, or
// a tiny subnormal, for which the halving would never end) runs no
// iteration. The result is not clamped. log, when given, receives one
// record per step.
#pragma once

#include "deconv/iteration_log.h"

namespace kestrel {

// beta also stops before beta/mu reaches 1024: ten values as a rule. When
// d > 1 a second solve with weight d * lambda is combined with the first
// through a 7x7 median of their difference, which suppresses ringing.
// The two solves run at once when threads allow; the result does not
// depend on the thread count.
bool tvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh, int kw,
                  double lambda, int d, IterationLog* log = nullptr);

// A single solve with weight lambda and no cap on beta/lambda: beta runs
// up to 100 (19 steps for lambda = 0.0002). No ringing suppression.
bool singleTvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh,
                        int kw, double lambda, IterationLog* log = nullptr);

}  // namespace kestrel
