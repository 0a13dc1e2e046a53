#include "deconv/gradient_split.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "tests/deconv/test_planes.h"

namespace kestrel {
namespace {

using testing::randomPlane;
using testing::shakeKernel;

// The image step solves a well-conditioned system (denominator at least 1
// at frequency 0 and at least weight * 0.06 elsewhere on these grids) with
// two transforms of a few hundred cells: errors stay near 1e-14.
constexpr double kRecoveryTolerance = 1e-10;

// Circular convolution with the kernel centre (kh/2, kw/2) on the output
// sample, summed directly.
std::vector<double> circularBlur(const std::vector<double>& u, const std::vector<double>& k,
                                 int rows, int cols, int kh, int kw) {
  std::vector<double> z(u.size(), 0.0);
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      for (int a = 0; a < kh; ++a)
        for (int b = 0; b < kw; ++b) {
          const int r = ((i - a + kh / 2) % rows + rows) % rows;
          const int c = ((j - b + kw / 2) % cols + cols) % cols;
          z[i * cols + j] += k[a * kw + b] * u[r * cols + c];
        }
  return z;
}

TEST(Shrink, MovesValuesTowardsZeroByTheThresholdAndZeroesSmallOnes) {
  EXPECT_DOUBLE_EQ(shrink(0.5, 0.2), 0.3);
  EXPECT_DOUBLE_EQ(shrink(-0.5, 0.2), -0.3);
  EXPECT_EQ(shrink(0.2, 0.2), 0.0);
  EXPECT_EQ(shrink(-0.1, 0.2), 0.0);
  EXPECT_EQ(shrink(3.0, 0.0), 3.0);
}

TEST(ForwardDifferences, WrapAroundAtTheLastRowAndColumn) {
  const std::vector<double> u = {1, 2, 4, 8, 16, 32};  // 2 rows x 3 columns
  std::vector<double> vh(6), vv(6);
  forwardDifferences(u.data(), vh.data(), vv.data(), 2, 3);
  EXPECT_EQ(vh, (std::vector<double>{1, 2, -3, 8, 16, -24}));
  EXPECT_EQ(vv, (std::vector<double>{7, 14, 28, -7, -14, -28}));
}

TEST(GradientSplitSolver, ShrinksThePeriodicDifferences) {
  const int rows = 7, cols = 9;
  const std::vector<double> u = randomPlane(rows, cols, 1);
  std::vector<double> vh(u.size()), vv(u.size());
  forwardDifferences(u.data(), vh.data(), vv.data(), rows, cols);
  const std::vector<double> impulse = {1.0};
  const SplitSpectra spectra(impulse.data(), rows, cols, 1, 1);
  GradientSplitSolver solver(spectra);
  solver.shrinkGradients(u.data(), 0.25);
  for (std::size_t i = 0; i < u.size(); ++i) {
    EXPECT_EQ(solver.horizontal()[i], shrink(vh[i], 0.25));
    EXPECT_EQ(solver.vertical()[i], shrink(vv[i], 0.25));
  }
}

// For z = k * u (circular) and w = (d_h u, d_v u) both terms of
// 1/2 |k * u - z|^2 + weight/2 |d u - w|^2 vanish at u, so the image step
// must return u itself: this pins the placement of the kernel, the sign of
// the adjoint and the gradient power together.
TEST(GradientSplitSolver, RecoversAPlaneFromItsBlurAndItsGradients) {
  const int rows = 24, cols = 20, side = 5;
  const std::vector<double> truth = randomPlane(rows, cols, 9);
  const std::vector<double> kernel = shakeKernel(side);
  const std::vector<double> blurred = circularBlur(truth, kernel, rows, cols, side, side);
  LeastSquaresProblem problem(blurred.data(), kernel.data(), rows, cols, side, side);
  GradientSplitSolver& solver = problem.solver();
  forwardDifferences(truth.data(), solver.horizontal(), solver.vertical(), rows, cols);
  for (double weight : {0.01, 0.7, 30.0}) {
    std::vector<double> u(truth.size(), 0.0);
    solver.solve(problem.numerator(), weight, u.data());
    for (std::size_t i = 0; i < u.size(); ++i) ASSERT_NEAR(u[i], truth[i], kRecoveryTolerance);
  }
  // Without the gradients the same step is a smoothed deconvolution, which
  // does not return the truth.
  std::fill(solver.horizontal(), solver.horizontal() + truth.size(), 0.0);
  std::fill(solver.vertical(), solver.vertical() + truth.size(), 0.0);
  std::vector<double> u(truth.size());
  solver.solve(problem.numerator(), 0.7, u.data());
  double largest = 0.0;
  for (std::size_t i = 0; i < u.size(); ++i)
    largest = std::max(largest, std::fabs(u[i] - truth[i]));
  EXPECT_GT(largest, 0.1);
}

TEST(CombineDeringing, TakesTheSecondEstimateWhereTheDifferenceIsBroad) {
  const int rows = 12, cols = 14;
  const std::vector<double> second = randomPlane(rows, cols, 2);
  std::vector<double> x(second.size());
  // A broad, smooth difference survives the median: x becomes the second.
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) x[i * cols + j] = second[i * cols + j] + 0.25;
  std::vector<double> scratch = second;
  combineDeringing(x.data(), scratch, rows, cols);
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], second[i], kRecoveryTolerance);
}

TEST(CombineDeringing, KeepsAnIsolatedDetailOfTheFirstEstimate) {
  const int rows = 12, cols = 14;
  const std::vector<double> second = randomPlane(rows, cols, 3);
  std::vector<double> x = second;
  x[5 * cols + 6] += 0.5;
  std::vector<double> scratch = second;
  const std::vector<double> expected = x;
  combineDeringing(x.data(), scratch, rows, cols);
  EXPECT_EQ(x, expected);
}

}  // namespace
}  // namespace kestrel
