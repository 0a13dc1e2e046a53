// Non-blind deconvolution of one plane under a hyper-Laplacian gradient
// prior of exponent alpha in (0, 1]:
//
//   minimise lambda/2 |k * x - y|^2 + sum (|d_h x|^alpha + |d_v x|^alpha)
//
// by splitting the gradients off under the penalties beta = 1, 2 sqrt 2,
// 8, ... 128 sqrt 2 (six values, each 2 sqrt 2 times the last, while
// beta < 256). The gradient step is solved per sample: in closed form for
// alpha = 1/2 (a root of a cubic) and 2/3 (a root of a quartic), otherwise
// by interpolation in a table of numerical solutions. The image step is
// exact in the Fourier domain with periodic boundaries.
#pragma once

#include <vector>

#include "deconv/iteration_log.h"

namespace kestrel {

// y: observed plane, rows x cols doubles, row-major, top row first; x:
// result plane of the same size, distinct from y; k: kernel, kh x kw
// doubles, used as given. lambda: weight of the data term; alpha: the
// exponent of the prior, solved as powerShrink says.
//
// x is always first set to a copy of y. Returns false, leaving that copy,
// when kh or kw is even, when the kernel is larger than the plane, when
// alpha lies outside (0, 1] (no longer a sparse prior, or no prior at all)
// or when lambda is not positive (the image step would divide by a zero
// or negative weight). A kernel summing to 0 leaves the plane's mean
// undetermined: that frequency is set to 0 rather than divided by 0. The
// result is not clamped and no ringing suppression is done. log, when
// given, receives one record per step.
bool hyperLaplacianDeconvolve(const double* y, double* x, const double* k, int rows, int cols,
                              int kh, int kw, double lambda, double alpha,
                              IterationLog* log = nullptr);

// lambda for a plane carrying white noise of standard deviation
// noiseSigma, under the exponent alpha in (0, 1]: it falls a little faster
// than 1/sigma (the data term must hold less the more noise it carries) and
// with alpha (a higher exponent penalises large gradients more, so the prior
// needs less weight against the data). Noise below 0.001, the 8-bit step's
// own, counts as 0.001, so the result stays below 2e5.
double automaticHyperLaplacianWeight(double noiseSigma, double alpha);

// The gradient step over both planes (rows x cols each): w = the minimiser
// of |w|^(1/2) + beta/2 (w - v)^2 for every v of vh (into wh) and of vv
// (into wv). For alpha other than exactly 0.5 nothing is written.
// Solutions are cached in bins of width 0.0001 covering
// -15.0001 < v < 15.0001 (bin (v + 15)/0.0001 truncated towards zero), the
// cache starting empty on every call: the first value met in a bin, in
// row-major order with vh before vv at each index, decides the result for
// every later value in that bin. Values outside that range are solved one
// by one.
void halfPowerShrink(const double* vh, const double* vv, double* wh, double* wv, int rows, int cols,
                     double beta, double alpha);

// The gradient step for one value v, with c = -1/(4 beta^2): the real root
// of w^3 - 2 v w^2 + v^2 w + c sign(v) = 0 that lies strictly between
// 0.6666667 |v| and |v| on the side of v (the largest if several do), else
// 0. Such a root exists once |v| reaches about 1.5 beta^(-2/3).
double halfPowerRoot(double v, double c);

// The minimiser of |w|^(2/3) + beta/2 (w - v)^2 (beta > 0) in closed form,
// through a root of a quartic: 0, or a value of the sign of v with
// |w| < |v|.
double twoThirdsPowerRoot(double v, double beta);

// The minimiser of |w|^alpha + beta/2 (w - v)^2 for alpha in (0, 1] and
// beta > 0, by Newton's method on the stationarity condition and a
// comparison with w = 0: 0, or a value of the sign of v with |w| < |v|.
// For alpha = 1 it is soft thresholding by 1/beta.
double powerShrinkRoot(double v, double beta, double alpha);

// powerShrinkRoot for one beta and alpha, tabulated for |v| up to 1.5 in
// 6000 intervals and interpolated linearly; the interval where the
// minimiser jumps from 0, and values beyond the table, are solved directly.
class PowerShrinkTable {
 public:
  PowerShrinkTable(double beta, double alpha);
  double operator()(double v) const;

 private:
  double beta_;
  double alpha_;
  std::vector<double> values_;
};

// The gradient step of any alpha in (0, 1] over both planes: for alpha
// exactly 0.5, halfPowerShrink; within 5e-4 of 2/3 (so that 0.667 and
// 0.6667 both select it), twoThirdsPowerRoot cached in the same bins as
// halfPowerShrink; otherwise a PowerShrinkTable.
void powerShrink(const double* vh, const double* vv, double* wh, double* wv, int rows, int cols,
                 double beta, double alpha);

}  // namespace kestrel
