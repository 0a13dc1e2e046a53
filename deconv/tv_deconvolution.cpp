#include "deconv/tv_deconvolution.h"

#include <cstddef>
#include <vector>

#include "deconv/gradient_split.h"

namespace kestrel {
namespace {

// With a least-squares data term the coupling weight of the image step is
// beta itself (t = 1).
void solveLeastSquares(LeastSquaresProblem& problem, double* u, double mu, bool capped, int solve,
                       IterationLog* log) {
  runSplitIterations(problem.solver(), problem.numerator(), {mu, 1.0, capped, solve, 0}, u, log);
}

}  // namespace

bool tvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh, int kw,
                  double lambda, int d, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  LeastSquaresProblem problem(y, k, rows, cols, kh, kw);
  solveLeastSquares(problem, x, lambda, true, 0, log);
  if (d > 1) {
    std::vector<double> second(y, y + static_cast<std::size_t>(rows) * cols);
    solveLeastSquares(problem, second.data(), d * lambda, true, 1, log);
    combineDeringing(x, second, rows, cols);
  }
  return true;
}

bool singleTvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh,
                        int kw, double lambda, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  LeastSquaresProblem problem(y, k, rows, cols, kh, kw);
  solveLeastSquares(problem, x, lambda, false, 0, log);
  return true;
}

}  // namespace kestrel
