#include "deconv/tv_deconvolution.h"

#include "deconv/gradient_split.h"

namespace kestrel {
bool tvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh, int kw,
                  double lambda, int d, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  LeastSquaresProblem problem(y, k, rows, cols, kh, kw);
  // With a least-squares data term the coupling weight of the image step is
  // beta itself (t = 1); the second solve's weight is d * lambda.
  const SplitSolve solve = [&](GradientSplitSolver& solver, double* u, int index,
                               IterationLog* solveLog) {
    const double mu = index == 0 ? lambda : d * lambda;
    runSplitIterations(solver, problem.numerator(), {mu, 1.0, true, index, 0}, u, solveLog);
  };
  solveWithDeringing(problem.spectra(), problem.solver(), y, x, d, solve, log);
  return true;
}

bool singleTvDeconvolve(const double* y, double* x, const double* k, int rows, int cols, int kh,
                        int kw, double lambda, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  LeastSquaresProblem problem(y, k, rows, cols, kh, kw);
  runSplitIterations(problem.solver(), problem.numerator(), {lambda, 1.0, false, 0, 0}, x, log);
  return true;
}

}  // namespace kestrel
