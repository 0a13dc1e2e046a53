#include "prediction/shock_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace kestrel {
namespace {

using Picture = std::vector<double>;

Picture makePicture(int width, int height, const std::function<double(int, int)>& value) {
  Picture picture(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) picture[y * width + x] = value(x, y);
  return picture;
}

Picture shocked(const Picture& in, int width, int height, int iterations, double step = 1.0,
                double scale = 1.0) {
  Picture out(in.size(), -7.0);
  shockFilter(in.data(), out.data(), width, height, iterations, step, scale);
  return out;
}

Picture randomPicture(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  return makePicture(width, height, [&](int, int) { return uniform(random); });
}

TEST(ShockFilter, LeavesConstantPicturesUnchangedAtEverySize) {
  for (int width : {1, 2, 3, 17}) {
    for (int height : {1, 2, 5, 12}) {
      const Picture flat(static_cast<size_t>(width) * height, 0.42);
      EXPECT_EQ(shocked(flat, width, height, 3), flat) << width << "x" << height;
    }
  }
}

TEST(ShockFilter, LeavesLinearRampsAlongEitherAxisUnchanged) {
  // Integer values keep every difference exact.
  const Picture rampX = makePicture(13, 9, [](int x, int) { return 3.0 * x - 5.0; });
  EXPECT_EQ(shocked(rampX, 13, 9, 2), rampX);
  const Picture rampY = makePicture(9, 13, [](int, int y) { return 7.0 - 2.0 * y; });
  EXPECT_EQ(shocked(rampY, 9, 13, 2), rampY);
}

TEST(ShockFilter, SteepensABlurredStep) {
  const int width = 32;
  const int height = 6;
  const auto profile = [](int x) { return 0.5 + 0.5 * std::tanh((x - 15.5) / 3.0); };
  const Picture blurred = makePicture(width, height, [&](int x, int) { return profile(x); });
  const Picture out = shocked(blurred, width, height, 1, 0.5);
  double steepestBefore = 0.0;
  double steepestAfter = 0.0;
  for (int y = 0; y < height; ++y) {
    for (int x = 1; x < width - 1; ++x) {
      const double before = blurred[y * width + x];
      const double after = out[y * width + x];
      if (before < 0.5) {
        EXPECT_LT(after, before) << "darker half at x = " << x;
      } else {
        EXPECT_GT(after, before) << "brighter half at x = " << x;
      }
      steepestBefore = std::max(steepestBefore, blurred[y * width + x + 1] - before);
      steepestAfter = std::max(steepestAfter, out[y * width + x + 1] - after);
    }
  }
  EXPECT_GT(steepestAfter, steepestBefore);
}

TEST(ShockFilter, MovesAConvexProfileDownByTheGentlerOneSidedDifference) {
  // I = x^2 along every row: inside, Ixx = 2 > 0 so the sign is +1 and the
  // minmod length is the backward difference 2x - 1. At both ends one of the
  // one-sided differences is 0, so the border pixels stay.
  const int width = 5;
  const int height = 3;
  const Picture in = makePicture(width, height, [](int x, int) { return double(x * x); });
  const double step = 0.25;
  const double scale = 2.0;
  const Picture out = shocked(in, width, height, 1, step, scale);
  for (int y = 0; y < height; ++y) {
    EXPECT_EQ(out[y * width + 0], 0.0);
    EXPECT_EQ(out[y * width + 4], 16.0);
    for (int x = 1; x <= 3; ++x) {
      EXPECT_EQ(out[y * width + x], x * x - step * (2 * x - 1) / scale) << x;
    }
  }
}

TEST(ShockFilter, AtAnExtremumAlongXOnlyTheYPartDrivesThePixel) {
  // Column 3 is a ridge one unit above its neighbours, and every column
  // grows as y^2. On the ridge Dx- = 1 and Dx+ = -1, so mx = 0; Ix = 0 leaves
  // G = Iyy Iy^2 > 0, and the pixel moves down by my = 2y - 1 alone.
  const int width = 7;
  const int height = 6;
  const Picture in =
      makePicture(width, height, [](int x, int y) { return y * y + (x == 3 ? 1.0 : 0.0); });
  const double step = 0.5;
  const Picture out = shocked(in, width, height, 1, step);
  for (int y = 1; y < height - 1; ++y) {
    EXPECT_EQ(out[y * width + 3], in[y * width + 3] - step * (2 * y - 1)) << y;
  }
}

TEST(ShockFilter, ZeroOrNegativeIterationsCopyTheInput) {
  const Picture in = randomPicture(11, 7, 3);
  EXPECT_EQ(shocked(in, 11, 7, 0), in);
  EXPECT_EQ(shocked(in, 11, 7, -2), in);
}

TEST(ShockFilter, TwoStepsEqualTwoCallsOfOneStep) {
  const Picture in = randomPicture(16, 10, 5);
  const Picture once = shocked(in, 16, 10, 1, 0.8, 1.5);
  EXPECT_EQ(shocked(in, 16, 10, 2, 0.8, 1.5), shocked(once, 16, 10, 1, 0.8, 1.5));
}

TEST(ShockFilter, AOnePixelWideColumnActsLikeAPlaneConstantAlongX) {
  // Missing neighbours equal the pixel itself, so a single column has no x
  // derivative: it filters like any column of a picture constant along x.
  const int height = 9;
  const Picture column = randomPicture(1, height, 11);
  const Picture wide = makePicture(4, height, [&](int, int y) { return column[y]; });
  const Picture outColumn = shocked(column, 1, height, 2, 0.7);
  const Picture outWide = shocked(wide, 4, height, 2, 0.7);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < 4; ++x) EXPECT_EQ(outWide[y * 4 + x], outColumn[y]) << x << "," << y;
  }
  EXPECT_NE(outColumn, column) << "the column itself is sharpened";

  const Picture row = randomPicture(height, 1, 13);
  const Picture tall = makePicture(height, 3, [&](int x, int) { return row[x]; });
  const Picture outTall = shocked(tall, height, 3, 2, 0.7);
  const Picture outRow = shocked(row, height, 1, 2, 0.7);
  for (int x = 0; x < height; ++x) EXPECT_EQ(outTall[height + x], outRow[x]);

  EXPECT_EQ(shocked({0.3}, 1, 1, 4), (Picture{0.3}));
}

TEST(ShockFilterPlanes, FiltersEveryPlaneOnItsOwn) {
  const int width = 12;
  const int height = 9;
  const size_t size = static_cast<size_t>(width) * height;
  Picture stacked;
  for (unsigned seed : {21u, 22u, 23u}) {
    const Picture plane = randomPicture(width, height, seed);
    stacked.insert(stacked.end(), plane.begin(), plane.end());
  }
  Picture out(stacked.size(), 0.0);
  shockFilterPlanes(stacked.data(), out.data(), width, height, 3, 2, 0.6, 1.0);
  for (int p = 0; p < 3; ++p) {
    const Picture plane(stacked.begin() + p * size, stacked.begin() + (p + 1) * size);
    const Picture alone = shocked(plane, width, height, 2, 0.6, 1.0);
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(), out.begin() + p * size)) << p;
  }
}

}  // namespace
}  // namespace kestrel
