#include "deconv/median_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "tests/deconv/test_planes.h"

namespace kestrel {
namespace {

using testing::randomPlane;

std::vector<double> median(const std::vector<double>& plane, int width, int height, int s) {
  std::vector<double> out(plane.size(), -1.0);
  medianFilter(plane.data(), out.data(), width, height, s);
  return out;
}

// The k-th smallest (from 1) of the values of a rectangle of the plane.
double kthSmallest(const std::vector<double>& plane, int width, int top, int left, int bottom,
                   int right, int k) {
  std::vector<double> values;
  for (int r = top; r <= bottom; ++r)
    for (int c = left; c <= right; ++c) values.push_back(plane[r * width + c]);
  std::sort(values.begin(), values.end());
  return values[k - 1];
}

TEST(MedianFilter, ReturnsAConstantPlaneUnchanged) {
  for (int size : {1, 3, 7, 12}) {
    const std::vector<double> plane(size * (size + 5), 0.61);
    EXPECT_EQ(median(plane, size + 5, size, 7), plane) << size;
  }
}

TEST(MedianFilter, RemovesASingleBrightSampleFromAFlatInterior) {
  const int width = 15, height = 13;
  std::vector<double> plane(width * height, 0.2);
  plane[6 * width + 7] = 1.0;
  const std::vector<double> out = median(plane, width, height, 7);
  for (double v : out) ASSERT_EQ(v, 0.2);
}

TEST(MedianFilter, TakesTheNinthSmallestOfTheSixteenSamplesOfACornerWindow) {
  const int width = 10, height = 9;
  const std::vector<double> plane = randomPlane(height, width, 21);
  const std::vector<double> out = median(plane, width, height, 7);
  EXPECT_EQ(out[0], kthSmallest(plane, width, 0, 0, 3, 3, 9));
  EXPECT_EQ(out[width - 1], kthSmallest(plane, width, 0, width - 4, 3, width - 1, 9));
  EXPECT_EQ(out[(height - 1) * width], kthSmallest(plane, width, height - 4, 0, height - 1, 3, 9));
  // An edge window holds 4 x 7 = 28 samples: index 14 is the 15th smallest.
  EXPECT_EQ(out[5], kthSmallest(plane, width, 0, 2, 3, 8, 15));
  // An inner window holds 49: the 25th smallest is the true median.
  EXPECT_EQ(out[4 * width + 5], kthSmallest(plane, width, 1, 2, 7, 8, 25));
}

TEST(MedianFilter, GivesEverySampleOfAFourByFourPlaneTheNinthSmallest) {
  const std::vector<double> plane = randomPlane(4, 4, 8);
  const double ninth = kthSmallest(plane, 4, 0, 0, 3, 3, 9);
  for (double v : median(plane, 4, 4, 7)) EXPECT_EQ(v, ninth);
}

TEST(MedianFilter, ReturnsTheOnlyValueOfAOneByOnePlane) {
  EXPECT_EQ(median({0.37}, 1, 1, 7), std::vector<double>{0.37});
}

TEST(MedianFilter, MatchesASortedWindowForEveryWindowSizeAndShape) {
  for (int s : {1, 2, 3, 4, 7}) {
    for (const auto& size :
         {std::pair{1, 9}, std::pair{6, 1}, std::pair{5, 8}, std::pair{17, 11}}) {
      const int width = size.first, height = size.second;
      const std::vector<double> plane = randomPlane(height, width, 100 + s);
      const std::vector<double> out = median(plane, width, height, s);
      const int before = s / 2, after = s - s / 2 - 1;
      for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j) {
          const int top = std::max(i - before, 0), bottom = std::min(i + after, height - 1);
          const int left = std::max(j - before, 0), right = std::min(j + after, width - 1);
          const int n = (bottom - top + 1) * (right - left + 1);
          ASSERT_EQ(out[i * width + j],
                    kthSmallest(plane, width, top, left, bottom, right, n / 2 + 1))
              << "s " << s << " plane " << width << "x" << height << " at (" << i << ", " << j
              << ")";
        }
      }
    }
  }
}

// Planes wider than a few dozen samples, whose interior goes through many
// windows at once, with values drawn from a handful so that ties abound.
TEST(MedianFilter, MatchesASortedWindowOnWidePlanesWithManyTies) {
  for (const int levels : {2, 3, 1000}) {
    const int width = 53, height = 40;
    std::vector<double> plane = randomPlane(height, width, 7 + levels);
    for (double& v : plane) v = std::floor(v * levels) - levels / 2;
    const std::vector<double> out = median(plane, width, height, 7);
    for (int i = 0; i < height; ++i) {
      for (int j = 0; j < width; ++j) {
        const int top = std::max(i - 3, 0), bottom = std::min(i + 3, height - 1);
        const int left = std::max(j - 3, 0), right = std::min(j + 3, width - 1);
        const int n = (bottom - top + 1) * (right - left + 1);
        ASSERT_EQ(out[i * width + j],
                  kthSmallest(plane, width, top, left, bottom, right, n / 2 + 1))
            << levels << " levels, at (" << i << ", " << j << ")";
      }
    }
  }
}

// 24 zeros in six rows of the first four columns and ones elsewhere: the
// 25th smallest is 1, and it is decided by the window's extreme cells (its
// smallest row of sorted values, and with zeros and ones swapped, its
// largest).
TEST(MedianFilter, FindsTheMiddleValueDecidedByTheWindowsExtremeCells) {
  std::vector<double> plane(49, 1.0);
  for (int r = 0; r < 6; ++r)
    for (int c = 0; c < 4; ++c) plane[r * 7 + c] = 0.0;
  std::vector<double> swapped(plane);
  for (double& v : swapped) v = 1.0 - v;
  EXPECT_EQ(median(plane, 7, 7, 7)[3 * 7 + 3], 1.0);
  EXPECT_EQ(median(swapped, 7, 7, 7)[3 * 7 + 3], 0.0);
}

TEST(MedianFilter, MayWriteOverItsInput) {
  std::vector<double> plane = randomPlane(19, 23, 4);
  const std::vector<double> separate = median(plane, 23, 19, 7);
  medianFilter(plane.data(), plane.data(), 23, 19, 7);
  EXPECT_EQ(plane, separate);
}

TEST(MedianFilter, SortsANotANumberAfterEveryNumber) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> out = median({nan, 1.0, 2.0}, 3, 1, 3);
  EXPECT_TRUE(std::isnan(out[0]));  // window {NaN, 1}: index 1 of (1, NaN)
  EXPECT_EQ(out[1], 2.0);           // window {NaN, 1, 2}: index 1 of (1, 2, NaN)
  EXPECT_EQ(out[2], 2.0);           // window {1, 2}: index 1
}

}  // namespace
}  // namespace kestrel
