#include "deconv/l1_tv_deconvolution.h"

#include <cstddef>
#include <vector>

#include "deconv/gradient_split.h"
#include "fourier/fft_toolkit.h"
#include "fourier/filter2d.h"

namespace kestrel {
namespace {

constexpr double kDataThresholdFactor = 3.0;
constexpr double kSmallestDataThreshold = 0.01;

// Everything one call needs, made once and shared by both solves.
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
        kernelSpectrum_(cells_),
        kernelPower_(cells_),
        gradientPower_(cells_),
        numerator_(cells_),
        residual_(cells_),
        solver_(rows, cols, kernelPower_.data(), gradientPower_.data()) {
    kernelSpectra(k, rows, cols, kh, kw, kernelSpectrum_.data(), kernelPower_.data(),
                  gradientPower_.data());
  }

  // Rounds of the data threshold t = 1, 1/3, ... while t > 0.01: each
  // splits the residual off with the current u, then runs the gradient
  // iterations against the split target z.
  void solve(double* u, double mu, int solve, IterationLog* log) {
    int outer = 0;
    double t = 1.0;
    do {
      FilterParams params;
      params.input = u;
      params.output = residual_.data();
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
      for (std::size_t i = 0; i < cells_; ++i) {
        numerator_[i][0] = y_[i] + shrink(residual_[i] - y_[i], t);
        numerator_[i][1] = 0.0;
      }
      solver_.transformForward(numerator_);
      for (std::size_t i = 0; i < cells_; ++i) {
        const double kr = kernelSpectrum_[i][0], ki = kernelSpectrum_[i][1];
        const double zr = numerator_[i][0], zi = numerator_[i][1];
        numerator_[i][0] = kr * zr + ki * zi;
        numerator_[i][1] = kr * zi - ki * zr;
      }
      runSplitIterations(solver_, numerator_.data(), {mu, t, true, solve, outer}, u, log);
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
  FftwBuffer kernelSpectrum_;
  FftwBuffer kernelPower_;
  FftwBuffer gradientPower_;
  FftwBuffer numerator_;
  std::vector<double> residual_;
  GradientSplitSolver solver_;
};

}  // namespace

bool l1TvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh, int kw,
                    double lambda, int d, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  L1TvProblem problem(y, k, rows, cols, kh, kw);
  problem.solve(x, lambda, 0, log);
  if (d > 1) {
    std::vector<double> second(y, y + static_cast<std::size_t>(rows) * cols);
    problem.solve(second.data(), d * lambda, 1, log);
    combineDeringing(x, second, rows, cols);
  }
  return true;
}

}  // namespace kestrel
