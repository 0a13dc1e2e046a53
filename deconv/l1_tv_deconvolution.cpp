#include "deconv/l1_tv_deconvolution.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "deconv/gradient_split.h"
#include "fourier/half_spectra.h"

namespace kestrel {
namespace {

constexpr double kDataThresholdFactor = 3.0;
constexpr double kSmallestDataThreshold = 0.01;

// k * u with replicated borders, as filter2D computes it, by transforms: u
// is extended by the kernel's half sizes on every side with its edge
// samples, convolved circularly on that larger grid, and cut back. Inside
// the extended grid the circular kernel never wraps, so every output sees
// exactly the replicated neighbourhood the direct sum sees, for a few
// hundred operations per sample fewer. The kernel spectrum is shared by
// both solves; each solve has a Convolver of its own.
class ReplicatedConvolution {
 public:
  ReplicatedConvolution(const double* k, int rows, int cols, int kh, int kw)
      : rows(rows),
        cols(cols),
        top(kh / 2),
        left(kw / 2),
        extendedRows(rows + 2 * top),
        extendedCols(cols + 2 * left),
        kernel(kernelHalfSpectrum(k, extendedRows, extendedCols, kh, kw)) {}

  int rows;
  int cols;
  int top;
  int left;
  int extendedRows;
  int extendedCols;
  FftwBuffer kernel;
};

class Convolver {
 public:
  explicit Convolver(const ReplicatedConvolution& convolution)
      : convolution_(convolution),
        real_(static_cast<std::size_t>(convolution.extendedRows) * convolution.extendedCols),
        spectrum_(halfCells(convolution.extendedRows, convolution.extendedCols)),
        forward_(FftwPlan::realForward2d(convolution.extendedRows, convolution.extendedCols,
                                         real_.data(), spectrum_.data())),
        backward_(FftwPlan::realBackward2d(convolution.extendedRows, convolution.extendedCols,
                                           spectrum_.data(), real_.data())) {}

  // out = k * u, both rows x cols.
  void apply(const double* u, double* out) {
    const ReplicatedConvolution& c = convolution_;
    for (int p = 0; p < c.extendedRows; ++p) {
      const double* row = u + static_cast<std::size_t>(std::clamp(p - c.top, 0, c.rows - 1)) * c.cols;
      double* extended = real_.data() + static_cast<std::size_t>(p) * c.extendedCols;
      std::fill(extended, extended + c.left, row[0]);
      std::copy(row, row + c.cols, extended + c.left);
      std::fill(extended + c.left + c.cols, extended + c.extendedCols, row[c.cols - 1]);
    }
    forward_.execute();
    for (std::size_t i = 0; i < spectrum_.size(); ++i) {
      const double kr = c.kernel[i][0], ki = c.kernel[i][1];
      const double ur = spectrum_[i][0], ui = spectrum_[i][1];
      spectrum_[i][0] = kr * ur - ki * ui;
      spectrum_[i][1] = kr * ui + ki * ur;
    }
    backward_.execute();
    const double cells = static_cast<double>(real_.size());
    for (int i = 0; i < c.rows; ++i) {
      const double* extended =
          real_.data() + static_cast<std::size_t>(i + c.top) * c.extendedCols + c.left;
      double* row = out + static_cast<std::size_t>(i) * c.cols;
      for (int j = 0; j < c.cols; ++j) row[j] = extended[j] / cells;
    }
  }

 private:
  const ReplicatedConvolution& convolution_;
  FftwRealBuffer real_;
  FftwBuffer spectrum_;
  FftwPlan forward_;
  FftwPlan backward_;
};

// The fixed spectra of one call, shared by both solves; the work planes
// belong to each solve so that the two can run at once.
class L1TvProblem {
 public:
  L1TvProblem(const double* y, const double* k, int rows, int cols, int kh, int kw)
      : y_(y),
        rows_(rows),
        cols_(cols),
        cells_(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)),
        spectra_(k, rows, cols, kh, kw),
        convolution_(k, rows, cols, kh, kw),
        solver_(spectra_) {}

  const SplitSpectra& spectra() const { return spectra_; }
  GradientSplitSolver& solver() { return solver_; }

  // Rounds of the data threshold t = 1, 1/3, ... while t > 0.01: each
  // splits the residual off with the current u, then runs the gradient
  // iterations against the split target z.
  void solve(GradientSplitSolver& solver, double* u, double mu, int solve,
             IterationLog* log) const {
    std::vector<double> residual(cells_);
    FftwBuffer numerator(halfCells(rows_, cols_));
    Convolver convolver(convolution_);
    const std::size_t half = numerator.size();
    int outer = 0;
    double t = 1.0;
    do {
      convolver.apply(u, residual.data());
      // z = y + shrink(k * u - y, t) minimises |z - y|_1 + 1/(2t) |k * u - z|^2.
      for (std::size_t i = 0; i < cells_; ++i) residual[i] = y_[i] + shrink(residual[i] - y_[i], t);
      solver.transformForward(residual.data(), numerator.data());
      for (std::size_t c = 0; c < half; ++c) {
        const double kr = spectra_.kernel[c][0], ki = spectra_.kernel[c][1];
        const double zr = numerator[c][0], zi = numerator[c][1];
        numerator[c][0] = kr * zr + ki * zi;
        numerator[c][1] = kr * zi - ki * zr;
      }
      runSplitIterations(solver, numerator.data(), {mu, t, true, solve, outer}, u, log);
      t /= kDataThresholdFactor;
      ++outer;
    } while (t > kSmallestDataThreshold);
  }

 private:
  const double* y_;
  int rows_;
  int cols_;
  std::size_t cells_;
  SplitSpectra spectra_;
  ReplicatedConvolution convolution_;
  GradientSplitSolver solver_;
};

}  // namespace

bool l1TvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh, int kw,
                    double lambda, int d, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  L1TvProblem problem(y, k, rows, cols, kh, kw);
  const SplitSolve solve = [&](GradientSplitSolver& solver, double* u, int index,
                               IterationLog* solveLog) {
    problem.solve(solver, u, index == 0 ? lambda : d * lambda, index, solveLog);
  };
  solveWithDeringing(problem.spectra(), problem.solver(), y, x, d, solve, log);
  return true;
}

}  // namespace kestrel
