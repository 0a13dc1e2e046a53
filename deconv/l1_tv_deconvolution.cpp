#include "deconv/l1_tv_deconvolution.h"

#include <cstddef>
#include <vector>

#include "deconv/gradient_split.h"
#include "fourier/filter2d.h"
#include "fourier/half_spectra.h"

namespace kestrel {
namespace {

constexpr double kDataThresholdFactor = 3.0;
constexpr double kSmallestDataThreshold = 0.01;

// The fixed spectra of one call, shared by both solves; the work planes
// belong to each solve so that the two can run at once.
class L1TvProblem {
 public:
  L1TvProblem(const double* y, const double* k, int rows, int cols, int kh, int kw)
      : y_(y),
        k_(k),
        rows_(rows),
        cols_(cols),
        kh_(kh),
        kw_(kw),
        cells_(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)),
        spectra_(k, rows, cols, kh, kw),
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
    const std::size_t half = numerator.size();
    int outer = 0;
    double t = 1.0;
    do {
      FilterParams params;
      params.input = u;
      params.output = residual.data();
      params.width = cols_;
      params.height = rows_;
      params.scale = 1.0;
      params.kernel = k_;
      params.kernelWidth = kw_;
      params.kernelHeight = kh_;
      params.boundaryMode = kBoundaryReplicate;
      params.filterMode = kFilterConvolution;
      filter2D(params);
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
  const double* k_;
  int rows_;
  int cols_;
  int kh_;
  int kw_;
  std::size_t cells_;
  SplitSpectra spectra_;
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
