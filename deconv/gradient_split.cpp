#include "deconv/gradient_split.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <exception>

#include "deconv/median_filter.h"
#include "fourier/grid.h"
#include "fourier/half_spectra.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

constexpr double kSmallestQ = 0.01;
constexpr double kLargestBetaRatio = 1024.0;
constexpr int kDeringingWindow = 7;
// Rows handed to one thread at least: enough to outweigh starting it.
constexpr int kRowsPerBlock = 32;

}  // namespace

bool acceptKernel(const double* y, double* x, int rows, int cols, int kernelRows, int kernelCols) {
  assert(rows >= 1 && cols >= 1 && x != y);
  std::copy(y, y + cellCount(rows, cols), x);
  if (kernelRows % 2 == 0 || kernelCols % 2 == 0) return false;
  return kernelRows >= 1 && kernelCols >= 1 && kernelRows <= rows && kernelCols <= cols;
}

SplitSpectra::SplitSpectra(const double* k, int rows, int cols, int kh, int kw)
    : rows(rows),
      cols(cols),
      kernel(kernelHalfSpectrum(k, rows, cols, kh, kw)),
      kernelPower(halfCells(rows, cols)),
      gradientPower(halfCells(rows, cols)) {
  const int half = halfColumns(cols);
  const std::vector<double> alongRows = differencePower(rows);
  const std::vector<double> alongCols = differencePower(cols);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < half; ++j) {
      const std::size_t c = cellCount(i, half) + j;
      kernelPower[c] = kernel[c][0] * kernel[c][0] + kernel[c][1] * kernel[c][1];
      gradientPower[c] = alongCols[j] + alongRows[i];
    }
  }
}

GradientSplitSolver::GradientSplitSolver(const SplitSpectra& spectra)
    : rows_(spectra.rows),
      cols_(spectra.cols),
      spectra_(spectra),
      real_(cellCount(rows_, cols_)),
      spectrum_(halfCells(rows_, cols_)),
      forward_(FftwPlan::realForward2d(rows_, cols_, real_.data(), spectrum_.data())),
      backward_(FftwPlan::realBackward2d(rows_, cols_, spectrum_.data(), real_.data())),
      horizontal_(cellCount(rows_, cols_)),
      vertical_(cellCount(rows_, cols_)) {}

void GradientSplitSolver::shrinkGradients(const double* u, double threshold) {
  parallelFor(0, rows_, kRowsPerBlock, [&](int first, int last) {
    for (int i = first; i < last; ++i) {
      const double* row = u + cellCount(i, cols_);
      const double* below = u + cellCount((i + 1) % rows_, cols_);
      double* h = horizontal_.data() + cellCount(i, cols_);
      double* v = vertical_.data() + cellCount(i, cols_);
      // The wrapping last column apart, so the loop runs without branches.
      for (int j = 0; j + 1 < cols_; ++j) h[j] = shrink(row[j + 1] - row[j], threshold);
      h[cols_ - 1] = shrink(row[0] - row[cols_ - 1], threshold);
      for (int j = 0; j < cols_; ++j) v[j] = shrink(below[j] - row[j], threshold);
    }
  });
}

void GradientSplitSolver::solve(const fftw_complex* numerator, double weight, double* u) {
  // Adjoint of the periodic differences: (g_h[j-1] - g_h[j]) + (g_v[i-1] - g_v[i]).
  parallelFor(0, rows_, kRowsPerBlock, [&](int first, int last) {
    for (int i = first; i < last; ++i) {
      const std::size_t row = cellCount(i, cols_);
      const std::size_t above = cellCount(i > 0 ? i - 1 : rows_ - 1, cols_);
      const double* h = horizontal_.data() + row;
      const double* v = vertical_.data() + row;
      const double* vAbove = vertical_.data() + above;
      double* g = real_.data() + row;
      g[0] = (h[cols_ - 1] - h[0]) + (vAbove[0] - v[0]);
      for (int j = 1; j < cols_; ++j) g[j] = (h[j - 1] - h[j]) + (vAbove[j] - v[j]);
    }
  });
  forward_.execute();
  // Every factor but F(G) and the numerator is real and even in frequency,
  // so the quotient stays Hermitian and its half determines u.
  const int half = halfColumns(cols_);
  parallelFor(0, rows_, kRowsPerBlock, [&](int first, int last) {
    for (std::size_t c = cellCount(first, half); c < cellCount(last, half); ++c) {
      const double denominator = spectra_.kernelPower[c] + weight * spectra_.gradientPower[c];
      if (denominator == 0.0) {
        spectrum_[c][0] = spectrum_[c][1] = 0.0;
        continue;
      }
      spectrum_[c][0] = (numerator[c][0] + weight * spectrum_[c][0]) / denominator;
      spectrum_[c][1] = (numerator[c][1] + weight * spectrum_[c][1]) / denominator;
    }
  });
  backward_.execute();
  const double cells = static_cast<double>(cellCount(rows_, cols_));
  parallelFor(0, rows_, kRowsPerBlock, [&](int first, int last) {
    for (std::size_t c = cellCount(first, cols_); c < cellCount(last, cols_); ++c) {
      u[c] = real_[c] / cells;
    }
  });
}

void GradientSplitSolver::transformForward(const double* plane, fftw_complex* spectrum) {
  std::copy(plane, plane + cellCount(rows_, cols_), real_.data());
  forward_.execute(real_.data(), spectrum);
}

LeastSquaresProblem::LeastSquaresProblem(const double* y, const double* k, int rows, int cols,
                                         int kh, int kw)
    : spectra_(k, rows, cols, kh, kw),
      numerator_(halfCells(rows, cols)),
      solver_(spectra_) {
  solver_.transformForward(y, numerator_.data());
  const std::size_t n = halfCells(rows, cols);
  for (std::size_t c = 0; c < n; ++c) {
    const double kr = spectra_.kernel[c][0], ki = spectra_.kernel[c][1];
    const double yr = numerator_[c][0], yi = numerator_[c][1];
    numerator_[c][0] = kr * yr + ki * yi;
    numerator_[c][1] = kr * yi - ki * yr;
  }
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

void solveWithDeringing(const SplitSpectra& spectra, GradientSplitSolver& first, const double* y,
                        double* x, int d, const SplitSolve& solve, IterationLog* log) {
  if (d <= 1) {
    solve(first, x, 0, log);
    return;
  }
  std::vector<double> second(y, y + cellCount(spectra.rows, spectra.cols));
  IterationLog firstLog;
  IterationLog secondLog;
  IterationLog* const logs[2] = {log != nullptr ? &firstLog : nullptr,
                                 log != nullptr ? &secondLog : nullptr};
  // The two solves share nothing but the spectra, read only. An exception
  // (memory running out) is carried back to this thread.
  std::exception_ptr thrown[2];
  parallelFor(0, 2, 1, [&](int begin, int end) {
    for (int index = begin; index < end; ++index) {
      try {
        if (index == 0) {
          solve(first, x, 0, logs[0]);
        } else {
          GradientSplitSolver own(spectra);
          solve(own, second.data(), 1, logs[1]);
        }
      } catch (...) {
        thrown[index] = std::current_exception();
      }
    }
  });
  for (const std::exception_ptr& error : thrown) {
    if (error) std::rethrow_exception(error);
  }
  if (log != nullptr) {
    log->insert(log->end(), firstLog.begin(), firstLog.end());
    log->insert(log->end(), secondLog.begin(), secondLog.end());
  }
  combineDeringing(x, second, spectra.rows, spectra.cols);
}

}  // namespace kestrel
