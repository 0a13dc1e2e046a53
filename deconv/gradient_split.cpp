#include "deconv/gradient_split.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>

#include "deconv/median_filter.h"
#include "fourier/fft_toolkit.h"

namespace kestrel {
namespace {

constexpr double kSmallestQ = 0.01;
constexpr double kLargestBetaRatio = 1024.0;
constexpr int kDeringingWindow = 7;

std::size_t cellCount(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

}  // namespace

bool acceptKernel(const double* y, double* x, int rows, int cols, int kernelRows, int kernelCols) {
  assert(rows >= 1 && cols >= 1 && x != y);
  std::copy(y, y + cellCount(rows, cols), x);
  if (kernelRows % 2 == 0 || kernelCols % 2 == 0) {
    std::printf("Error - blur kernel k must be odd-sized.\n");
    return false;
  }
  return kernelRows >= 1 && kernelCols >= 1 && kernelRows <= rows && kernelCols <= cols;
}

GradientSplitSolver::GradientSplitSolver(int rows, int cols, const fftw_complex* kernelPower,
                                         const fftw_complex* gradientPower)
    : rows_(rows),
      cols_(cols),
      kernelPower_(kernelPower),
      gradientPower_(gradientPower),
      work_(cellCount(rows, cols)),
      forward_(FftwPlan::dft2d(rows, cols, work_.data(), work_.data(), FFTW_FORWARD)),
      backward_(FftwPlan::dft2d(rows, cols, work_.data(), work_.data(), FFTW_BACKWARD)),
      horizontal_(cellCount(rows, cols)),
      vertical_(cellCount(rows, cols)) {}

void GradientSplitSolver::shrinkGradients(const double* u, double threshold) {
  for (int i = 0; i < rows_; ++i) {
    const double* row = u + cellCount(i, cols_);
    const double* below = u + cellCount((i + 1) % rows_, cols_);
    double* h = horizontal_.data() + cellCount(i, cols_);
    double* v = vertical_.data() + cellCount(i, cols_);
    for (int j = 0; j < cols_; ++j) {
      const int right = j + 1 < cols_ ? j + 1 : 0;
      h[j] = shrink(row[right] - row[j], threshold);
      v[j] = shrink(below[j] - row[j], threshold);
    }
  }
}

void GradientSplitSolver::solve(const fftw_complex* numerator, double weight, double* u) {
  // Adjoint of the periodic differences: (g_h[j-1] - g_h[j]) + (g_v[i-1] - g_v[i]).
  for (int i = 0; i < rows_; ++i) {
    const std::size_t row = cellCount(i, cols_);
    const std::size_t above = cellCount(i > 0 ? i - 1 : rows_ - 1, cols_);
    for (int j = 0; j < cols_; ++j) {
      const int left = j > 0 ? j - 1 : cols_ - 1;
      work_[row + j][0] = (horizontal_[row + left] - horizontal_[row + j]) +
                          (vertical_[above + j] - vertical_[row + j]);
      work_[row + j][1] = 0.0;
    }
  }
  forward_.execute();
  const std::size_t n = cellCount(rows_, cols_);
  for (std::size_t i = 0; i < n; ++i) {
    const double denominator = kernelPower_[i][0] + weight * gradientPower_[i][0];
    if (denominator == 0.0) {
      work_[i][0] = work_[i][1] = 0.0;
      continue;
    }
    work_[i][0] = (numerator[i][0] + weight * work_[i][0]) / denominator;
    work_[i][1] = (numerator[i][1] + weight * work_[i][1]) / denominator;
  }
  backward_.execute();
  const double cells = static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) u[i] = work_[i][0] / cells;
}

void GradientSplitSolver::transformForward(FftwBuffer& plane) const {
  assert(plane.size() == work_.size());
  forward_.execute(plane.data(), plane.data());
}

LeastSquaresProblem::LeastSquaresProblem(const double* y, const double* k, int rows, int cols,
                                         int kh, int kw)
    : numerator_(cellCount(rows, cols)),
      kernelPower_(cellCount(rows, cols)),
      gradientPower_(cellCount(rows, cols)),
      solver_(rows, cols, kernelPower_.data(), gradientPower_.data()) {
  deconvolutionSpectra(y, k, rows, cols, kh, kw, numerator_.data(), kernelPower_.data(),
                       gradientPower_.data());
}

void forwardDifferences(const double* u, double* vh, double* vv, int rows, int cols) {
  for (int i = 0; i < rows; ++i) {
    const double* row = u + cellCount(i, cols);
    const double* below = u + cellCount((i + 1) % rows, cols);
    for (int j = 0; j < cols; ++j) {
      const int right = j + 1 < cols ? j + 1 : 0;
      vh[cellCount(i, cols) + j] = row[right] - row[j];
      vv[cellCount(i, cols) + j] = below[j] - row[j];
    }
  }
}

void runSplitIterations(GradientSplitSolver& solver, const fftw_complex* numerator,
                        const SplitSchedule& schedule, double* u, IterationLog* log) {
  const double mu = schedule.mu;
  const double first = 1.0 / mu;
  if (!std::isfinite(first)) return;
  // The tests are made on the rounded quotients exactly as written: for some
  // mu, beta/mu of the eleventh value falls just below 1024 and it runs.
  for (double q = first; q >= kSmallestQ; q /= 2.0) {
    const double beta = 1.0 / q;
    if (schedule.capped && !(beta / mu < kLargestBetaRatio)) break;
    const double threshold = mu * q;
    solver.shrinkGradients(u, threshold);
    const double weight = schedule.t / q;
    solver.solve(numerator, weight, u);
    if (log != nullptr) log->push_back({schedule.solve, schedule.outer, beta, threshold, weight});
  }
}

void combineDeringing(double* x, std::vector<double>& second, int rows, int cols) {
  const std::size_t n = cellCount(rows, cols);
  assert(second.size() == n);
  for (std::size_t i = 0; i < n; ++i) second[i] = x[i] - second[i];
  medianFilter(second.data(), second.data(), cols, rows, kDeringingWindow);
  for (std::size_t i = 0; i < n; ++i) x[i] -= second[i];
}

}  // namespace kestrel
