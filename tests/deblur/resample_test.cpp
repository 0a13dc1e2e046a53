#include "deblur/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Weights are normalised by their sum, so results carry a few ulps.
constexpr double kTolerance = 1e-12;

std::vector<double> byScale(const std::vector<double>& in, int rows, int cols, double scale) {
  std::vector<double> out(static_cast<size_t>(std::ceil(scale * rows) * std::ceil(scale * cols)));
  resampleByScale(in.data(), out.data(), rows, cols, scale);
  return out;
}

std::vector<double> toSize(const std::vector<double>& in, int rows, int cols, int outRows,
                           int outCols) {
  std::vector<double> out(static_cast<size_t>(outRows) * outCols);
  resampleToSize(in.data(), out.data(), rows, cols, outRows, outCols);
  return out;
}

TEST(ResampleToSize, EnlargesAnImpulseRowToTheTriangle) {
  const std::vector<double> out = toSize({0, 1, 0}, 1, 3, 1, 5);
  const std::vector<double> expected = {0, 0.4, 1, 0.4, 0};
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(out[i], expected[i], kTolerance) << i;
}

TEST(ResampleToSize, EnlargesACentredImpulseSeparably) {
  std::vector<double> in(9, 0.0);
  in[4] = 1.0;
  const std::vector<double> out = toSize(in, 3, 3, 5, 5);
  const double profile[5] = {0, 0.4, 1, 0.4, 0};
  for (int r = 0; r < 5; ++r)
    for (int c = 0; c < 5; ++c) EXPECT_NEAR(out[r * 5 + c], profile[r] * profile[c], kTolerance);
}

TEST(ResampleToSize, SameSizeIsTheIdentity) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> in(6 * 9);
  for (double& v : in) v = uniform(random);
  EXPECT_EQ(toSize(in, 6, 9, 6, 9), in);
}

TEST(ResampleByScale, HalvesAnEdgeImpulseWithTheEdgeCountedTwice) {
  const std::vector<double> out = byScale({1, 0, 0, 0}, 1, 4, 0.5);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_NEAR(out[0], 0.5, kTolerance);
  EXPECT_NEAR(out[1], 0.0, kTolerance);
}

TEST(ResampleByScale, ShrinksARampAndEndsOnTheEdgeSample) {
  std::vector<double> in(10);
  for (int i = 0; i < 10; ++i) in[i] = i + 1;
  const std::vector<double> out = byScale(in, 1, 10, 0.618);
  ASSERT_EQ(out.size(), 7u);
  EXPECT_NEAR(out[6], 10.0, kTolerance);
  for (int i = 1; i < 7; ++i) EXPECT_GT(out[i], out[i - 1]);
}

TEST(ResampleByScale, ScaleOneIsTheIdentity) {
  std::vector<double> in(5 * 7);
  for (size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.3 * i);
  const std::vector<double> out = byScale(in, 5, 7, 1.0);
  for (size_t i = 0; i < in.size(); ++i) EXPECT_NEAR(out[i], in[i], kTolerance);
}

TEST(Resample, ConstantPlanesStayConstantAtEveryScaleAndSize) {
  for (int rows : {1, 2, 7, 31}) {
    for (int cols : {1, 3, 16, 45}) {
      const std::vector<double> in(static_cast<size_t>(rows) * cols, 0.37);
      for (double scale : {0.2, 0.381924, 0.618, 1.0}) {
        for (double v : byScale(in, rows, cols, scale)) ASSERT_NEAR(v, 0.37, kTolerance);
      }
      for (int outRows : {1, 4, 40})
        for (int outCols : {2, 9, 50})
          for (double v : toSize(in, rows, cols, outRows, outCols)) ASSERT_NEAR(v, 0.37, kTolerance);
    }
  }
}

TEST(ResampleByScale, OneRowStaysOneRow) {
  const std::vector<double> in = {0.1, 0.5, 0.9, 0.3, 0.7, 0.2};
  const std::vector<double> out = byScale(in, 1, 6, 0.618);
  ASSERT_EQ(out.size(), 4u);
  // Every row tap clamps to the single row, so the columns are resampled as
  // they would be in a plane whose rows are all equal.
  std::vector<double> twoRows(in);
  twoRows.insert(twoRows.end(), in.begin(), in.end());
  const std::vector<double> stacked = byScale(twoRows, 2, 6, 0.618);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(out[i], stacked[i], kTolerance);
}

TEST(Resample, GivesTheSameBitsOnOneThreadAndOnThree) {
  std::mt19937 random(9u);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const int rows = 150, cols = 170;
  std::vector<double> in(static_cast<size_t>(rows) * cols);
  for (double& v : in) v = uniform(random);
  setThreadCount(1);
  const std::vector<double> shrunkOne = byScale(in, rows, cols, 0.7071);
  const std::vector<double> grownOne = toSize(in, rows, cols, 211, 187);
  setThreadCount(3);
  const std::vector<double> shrunkThree = byScale(in, rows, cols, 0.7071);
  const std::vector<double> grownThree = toSize(in, rows, cols, 211, 187);
  setThreadCount(defaultThreadCount());
  EXPECT_EQ(shrunkOne, shrunkThree);
  EXPECT_EQ(grownOne, grownThree);
}

}  // namespace
}  // namespace kestrel
