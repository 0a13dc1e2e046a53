// Pieces shared by the deconvolutions that split the image gradients off
// into auxiliary planes w_h, w_v and alternate a per-sample gradient step
// with an exact image step in the Fourier domain.
//
// Planes are rows x cols doubles, row-major, top row first. Differences are
// periodic: (d_h u)[i][j] = u[i][j+1] - u[i][j] and (d_v u)[i][j] =
// u[i+1][j] - u[i][j], indices taken modulo the plane size.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include "deconv/iteration_log.h"
#include "fourier/fftw_resources.h"

namespace kestrel {

// Soft thresholding, the minimiser of theta |w| + 1/2 (w - v)^2:
// sign(v) max(|v| - theta, 0), with |v| <= theta giving 0.
inline double shrink(double v, double theta) {
  const double magnitude = std::max(std::fabs(v) - theta, 0.0);
  return v >= 0.0 ? magnitude : -magnitude;
}

// Copies y into x, then checks the kernel: an even side refuses it (it has
// no centre pixel), and so does a kernel larger than the plane, which would
// wrap onto itself on the Fourier grid.
bool acceptKernel(const double* y, double* x, int rows, int cols, int kernelRows, int kernelCols);

// The spectra of the image step fixed by the kernel and the grid, as half
// spectra of rows x (cols/2 + 1) cells (the transforms of real planes are
// Hermitian): K, the kernel centred on cell (0, 0); |K|^2; and D, the power
// of the two periodic differences.
struct SplitSpectra {
  SplitSpectra(const double* k, int rows, int cols, int kh, int kw);

  int rows;
  int cols;
  FftwBuffer kernel;
  std::vector<double> kernelPower;
  std::vector<double> gradientPower;
};

// The image step and the work it needs, made once per solve: a real and a
// half-spectrum plane with their real-to-complex plans, and the w planes.
// Solvers on the same spectra are independent and may run concurrently.
class GradientSplitSolver {
 public:
  // spectra are borrowed for the solver's lifetime.
  explicit GradientSplitSolver(const SplitSpectra& spectra);

  double* horizontal() { return horizontal_.data(); }
  double* vertical() { return vertical_.data(); }

  // w_h = shrink(d_h u, threshold), w_v = shrink(d_v u, threshold).
  void shrinkGradients(const double* u, double threshold);

  // u = backward transform of (numerator + weight F(G)) / (|K|^2 + weight D),
  // divided by rows*cols, where G is the adjoint of the differences applied
  // to (w_h, w_v) and numerator is a half spectrum. This minimises
  // 1/2 |k * u - z|^2 + weight/2 |d u - w|^2 for numerator = conj(K) F(z).
  // A frequency whose denominator is 0 (with a positive weight, only (0, 0)
  // for a kernel summing to 0) is set to 0, so no NaN or infinity appears.
  void solve(const fftw_complex* numerator, double weight, double* u);

  // Half spectrum of a real rows x cols plane into spectrum.
  void transformForward(const double* plane, fftw_complex* spectrum);

 private:
  int rows_;
  int cols_;
  const SplitSpectra& spectra_;
  FftwRealBuffer real_;
  FftwBuffer spectrum_;
  FftwPlan forward_;
  FftwPlan backward_;
  std::vector<double> horizontal_;
  std::vector<double> vertical_;
};

// The fixed spectra of a least-squares data term for a plane y and kernel
// k: the split spectra and the half spectrum conj(K) F(y), with a first
// solver built on them.
class LeastSquaresProblem {
 public:
  LeastSquaresProblem(const double* y, const double* k, int rows, int cols, int kh, int kw);

  const SplitSpectra& spectra() const { return spectra_; }
  GradientSplitSolver& solver() { return solver_; }
  const fftw_complex* numerator() const { return numerator_.data(); }

 private:
  SplitSpectra spectra_;
  FftwBuffer numerator_;
  GradientSplitSolver solver_;
};

// vh = d_h u, vv = d_v u.
void forwardDifferences(const double* u, double* vh, double* vv, int rows, int cols);

// Iterations on u with Q = 1/mu, halved after each while Q >= 0.01: each
// runs the gradient step with threshold mu Q and the image step with
// weight t/Q (the gradient penalty beta = 1/Q times t). When capped, the
// loop also ends once beta/mu is not below 1024. A weight mu whose
// reciprocal is not finite runs nothing (halving would never end).
struct SplitSchedule {
  double mu = 0.0;
  double t = 1.0;
  bool capped = true;
  int solve = 0;
  int outer = 0;
};
void runSplitIterations(GradientSplitSolver& solver, const fftw_complex* numerator,
                        const SplitSchedule& schedule, double* u, IterationLog* log);

// Ringing suppression: x becomes second + (e - median7(e)) with
// e = x - second, that is the more strongly regularised second estimate plus
// the fine, isolated detail of the difference that a 7x7 median removes.
// Sharp detail of x comes back; its wide ringing does not. second is
// overwritten.
void combineDeringing(double* x, std::vector<double>& second, int rows, int cols);

// One solve of an estimate u in place with the given solver; index is 0 for
// the first solve of a call and 1 for the second.
using SplitSolve =
    std::function<void(GradientSplitSolver& solver, double* u, int index, IterationLog* log)>;

// Runs solve on x (already holding y) with first and, when d > 1, on a
// second estimate starting from y with a solver of its own, the two at once
// when threads allow; then combines them with combineDeringing. log gets
// the first solve's records, then the second's, whatever the timing.
void solveWithDeringing(const SplitSpectra& spectra, GradientSplitSolver& first, const double* y,
                        double* x, int d, const SplitSolve& solve, IterationLog* log);

}  // namespace kestrel
