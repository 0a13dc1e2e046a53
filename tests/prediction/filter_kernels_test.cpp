#include "prediction/filter_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kestrel {
namespace {

// Normalised values and sums of them carry a few ulps of 1.0.
constexpr double kSumTolerance = 1e-14;

TEST(MakeGaussianKernel, FiveByFiveIsSymmetricPeakedAndSumsToOne) {
  const std::vector<double> g = makeGaussianKernel(5, 5, 2.0);
  ASSERT_EQ(g.size(), 25u);
  double sum = 0.0;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 5; ++j) {
      const double v = g[i * 5 + j];
      sum += v;
      EXPECT_EQ(v, g[i * 5 + (4 - j)]);
      EXPECT_EQ(v, g[(4 - i) * 5 + j]);
      EXPECT_EQ(v, g[j * 5 + i]);
      if (i != 2 || j != 2) {
        EXPECT_LT(v, g[12]);
      }
    }
  }
  EXPECT_NEAR(sum, 1.0, kSumTolerance);
}

TEST(MakeGaussianKernel, MatchesTheClosedFormOnAnEvenRectangle) {
  // 4 columns x 3 rows: centre (1.5, 1), so distances squared are built from
  // 2.25 and 0.25 across and 1 and 0 down.
  const double sigma = 1.3;
  const std::vector<double> g = makeGaussianKernel(4, 3, sigma);
  ASSERT_EQ(g.size(), 12u);
  const double across[4] = {2.25, 0.25, 0.25, 2.25};
  const double down[3] = {1.0, 0.0, 1.0};
  double sum = 0.0;
  for (double d : down)
    for (double a : across) sum += std::exp(-(a + d) / (2 * sigma * sigma));
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 4; ++j) {
      EXPECT_NEAR(g[i * 4 + j], std::exp(-(across[j] + down[i]) / (2 * sigma * sigma)) / sum,
                  kSumTolerance);
    }
  }
}

TEST(MakeGaussianKernel, OneByOneIsOneForEverySigma) {
  for (double sigma : {0.1, 1.0, 2.0, 100.0}) {
    EXPECT_EQ(makeGaussianKernel(1, 1, sigma), std::vector<double>{1.0});
  }
}

TEST(MakeGaussianKernel, NonPositiveSigmaGivesTheLimitOfAVanishingSigma) {
  std::vector<double> impulse(25, 0.0);
  impulse[12] = 1.0;
  EXPECT_EQ(makeGaussianKernel(5, 5, 0.0), impulse);
  EXPECT_EQ(makeGaussianKernel(5, 5, -2.0), impulse);
  EXPECT_EQ(makeGaussianKernel(5, 5, std::nan("")), impulse);

  // An even side has two nearest elements; they share the mass.
  std::vector<double> centre4(16, 0.0);
  for (int index : {5, 6, 9, 10}) centre4[index] = 0.25;
  EXPECT_EQ(makeGaussianKernel(4, 4, -1.0), centre4);
  // So small a sigma underflows every value; the limit is used instead of 0/0.
  EXPECT_EQ(makeGaussianKernel(4, 4, 1e-3), centre4);
}

TEST(MakeDiffKernel, IsOneThenMinusOne) {
  EXPECT_EQ(makeDiffKernel(), (std::vector<double>{1.0, -1.0}));
}

std::vector<double> numbered(int count) {
  std::vector<double> values(count);
  for (int i = 0; i < count; ++i) values[i] = i + 1;
  return values;
}

TEST(CenterInGrid, PutsTheCentreOfAThreeByThreeOnColumnFourRowFour) {
  const std::vector<double> source = numbered(9);
  for (unsigned size : {8u, 9u}) {
    const std::vector<double> grid = centerInGrid(source.data(), 3, 3, size, size);
    ASSERT_EQ(grid.size(), size * size);
    double total = 0.0;
    for (double v : grid) total += v;
    EXPECT_EQ(total, 45.0) << "nothing but the source lands in the grid";
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_EQ(grid[(3 + i) * size + (3 + j)], source[i * 3 + j]);
    EXPECT_EQ(grid[4 * size + 4], 5.0);
  }
}

TEST(CenterInGrid, EqualSizesCopyTheSource) {
  const std::vector<double> source = numbered(12);
  EXPECT_EQ(centerInGrid(source.data(), 4, 3, 4, 3), source);
}

TEST(CenterInGrid, ASmallerTargetKeepsTheCentralPart) {
  const std::vector<double> source = numbered(25);
  const std::vector<double> grid = centerInGrid(source.data(), 5, 5, 3, 2);
  // Offsets floor(-1/2) = -1 across and floor(-2/2) = -1 down.
  EXPECT_EQ(grid, (std::vector<double>{7, 8, 9, 12, 13, 14}));
}

TEST(GaussianInGrid, IsTheGaussianCentredInTheGrid) {
  const std::vector<double> g = makeGaussianKernel(5, 3, 1.5);
  EXPECT_EQ(gaussianInGrid(5, 3, 1.5, 11, 8), centerInGrid(g.data(), 5, 3, 11, 8));
}

TEST(DiffInGrid, PlacesTheTwoTapsAlongTheirAxis) {
  std::vector<double> x(12, 0.0);
  x[1 * 4 + 1] = 1.0;  // column (4 - 2 + 1) / 2 = 1, row (3 - 1 + 1) / 2 = 1
  x[1 * 4 + 2] = -1.0;
  EXPECT_EQ(diffXInGrid(4, 3), x);

  std::vector<double> y(12, 0.0);
  y[1 * 3 + 1] = 1.0;  // column (3 - 1 + 1) / 2 = 1, row (4 - 2 + 1) / 2 = 1
  y[2 * 3 + 1] = -1.0;
  EXPECT_EQ(diffYInGrid(3, 4), y);
}

}  // namespace
}  // namespace kestrel
