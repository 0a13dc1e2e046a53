#include "deblur/pyramid_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel {
namespace {

TEST(PyramidSchedule, ReproducesTheVgaExampleWithA31PixelKernel) {
  const std::vector<PyramidLevel> levels = pyramidSchedule(640, 480, 31, 31);
  ASSERT_EQ(levels.size(), 6u);
  struct Expected {
    int width, height, kernel, iterations, box;
  };
  const Expected expected[6] = {{640, 480, 31, 8, 19},  {396, 297, 21, 7, 13},
                                {245, 184, 13, 8, 9},   {152, 114, 9, 9, 5},
                                {94, 71, 5, 10, 3},     {58, 44, 3, 11, 3}};
  for (int s = 0; s < 6; ++s) {
    SCOPED_TRACE(s);
    EXPECT_EQ(levels[s].width, expected[s].width);
    EXPECT_EQ(levels[s].height, expected[s].height);
    EXPECT_EQ(levels[s].kernelWidth, expected[s].kernel);
    EXPECT_EQ(levels[s].kernelHeight, expected[s].kernel);
    EXPECT_EQ(levels[s].iterations, expected[s].iterations);
    EXPECT_EQ(levels[s].boxRows, expected[s].box);
    EXPECT_EQ(levels[s].boxCols, expected[s].box);
  }
  EXPECT_DOUBLE_EQ(levels[2].scale, 0.618 * 0.618);
}

TEST(PyramidSchedule, IterationCountsFollowTheLevelCount) {
  // Coarsest level first; the finest level always runs 8 iterations.
  const std::vector<std::vector<int>> expected = {
      {8},
      {11, 8},
      {11, 9, 8},
      {11, 10, 8, 8},
      {11, 10, 9, 8, 8},
      {11, 10, 9, 8, 7, 8},
      {11, 11, 10, 9, 8, 7, 8},
      {11, 11, 10, 9, 8, 8, 7, 8},
  };
  // The smallest kernel side that gives L levels.
  int side = 2;
  for (const std::vector<int>& counts : expected) {
    while (pyramidLevelCount(side, side) < static_cast<int>(counts.size())) ++side;
    const std::vector<PyramidLevel> levels = pyramidSchedule(4000, 4000, side, side);
    ASSERT_EQ(levels.size(), counts.size()) << "kernel side " << side;
    for (size_t i = 0; i < counts.size(); ++i) {
      EXPECT_EQ(levels[levels.size() - 1 - i].iterations, counts[i])
          << "L = " << counts.size() << ", coarse index " << i;
    }
  }
}

TEST(PyramidSchedule, LevelCountComesFromTheLargerKernelSide) {
  EXPECT_EQ(pyramidLevelCount(3, 3), 1);
  EXPECT_EQ(pyramidLevelCount(2, 1), 1);
  EXPECT_EQ(pyramidLevelCount(31, 31), 6);
  EXPECT_EQ(pyramidLevelCount(31, 15), 6);
  EXPECT_LT(pyramidLevelCount(1, 1), 1);
}

TEST(PyramidSchedule, NonSquareKernelsShrinkEachSideOnItsOwn) {
  const std::vector<PyramidLevel> levels = pyramidSchedule(640, 480, 31, 15);
  ASSERT_EQ(levels.size(), 6u);
  const int heights[6] = {15, 11, 7, 5, 3, 3};
  const int widths[6] = {31, 21, 13, 9, 5, 3};
  for (int s = 0; s < 6; ++s) {
    EXPECT_EQ(levels[s].kernelHeight, heights[s]) << s;
    EXPECT_EQ(levels[s].kernelWidth, widths[s]) << s;
  }
}

TEST(PyramidSchedule, EvenKernelsStayEvenOnlyAtFullResolution) {
  const std::vector<PyramidLevel> levels = pyramidSchedule(640, 480, 30, 30);
  EXPECT_EQ(levels[0].kernelWidth, 30);
  for (size_t s = 1; s < levels.size(); ++s) EXPECT_EQ(levels[s].kernelWidth % 2, 1) << s;
}

TEST(PyramidSchedule, ThresholdFractionDropsAbove2000Entries) {
  EXPECT_EQ(kernelThresholdFraction(45, 45), 0.03);
  EXPECT_EQ(kernelThresholdFraction(44, 45), 0.07);
  EXPECT_EQ(kernelThresholdFraction(40, 50), 0.07);
  EXPECT_EQ(kernelThresholdFraction(3, 3), 0.07);
}

TEST(PyramidSchedule, FitsOnlyPicturesAtLeastAsLargeAsTheKernelAtEveryLevel) {
  EXPECT_TRUE(scheduleFitsPicture(pyramidSchedule(640, 480, 31, 31)));
  EXPECT_TRUE(scheduleFitsPicture(pyramidSchedule(35, 35, 31, 31)));
  // At the second level the 31-pixel side shrinks to 20 while its kernel,
  // rounded up to odd, grows to 21.
  EXPECT_FALSE(scheduleFitsPicture(pyramidSchedule(31, 31, 31, 31)));
  EXPECT_FALSE(scheduleFitsPicture(pyramidSchedule(30, 480, 31, 31)));
  // The coarsest level of a 16-pixel-high picture is 2 rows, below its 3-row kernel.
  EXPECT_FALSE(scheduleFitsPicture(pyramidSchedule(640, 16, 31, 31)));
  EXPECT_FALSE(scheduleFitsPicture(pyramidSchedule(640, 480, 1, 1)));
  EXPECT_TRUE(scheduleFitsPicture(pyramidSchedule(3, 3, 3, 3)));
  EXPECT_FALSE(scheduleFitsPicture(pyramidSchedule(2, 3, 3, 3)));
}

}  // namespace
}  // namespace kestrel
