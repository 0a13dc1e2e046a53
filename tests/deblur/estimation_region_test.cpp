#include "deblur/estimation_region.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kestrel {
namespace {

// A flat picture with a checkerboard in one place, of cells of `cell`.
std::vector<double> texturedAt(int rows, int cols, int top, int left, int side, int cell) {
  std::vector<double> grey(static_cast<std::size_t>(rows) * cols, 0.5);
  for (int y = top; y < top + side; ++y) {
    for (int x = left; x < left + side; ++x) {
      grey[static_cast<std::size_t>(y) * cols + x] = ((y / cell + x / cell) % 2) ? 0.9 : 0.1;
    }
  }
  return grey;
}

TEST(RichestRegion, FindsTheTexturedPartAndKeepsTheProportions) {
  const int rows = 300, cols = 400;
  const std::vector<double> grey = texturedAt(rows, cols, 200, 290, 100, 5);
  const std::vector<double> clipped(grey.size(), 0.0);
  const Region region = richestRegion(grey.data(), clipped.data(), rows, cols, 120.0 * 160.0);
  EXPECT_EQ(region.height, 120);
  EXPECT_EQ(region.width, 160);
  // The window holding the whole checkerboard reaches the bottom right.
  EXPECT_EQ(region.top + region.height, rows);
  EXPECT_EQ(region.left + region.width, cols);

  const Region whole = richestRegion(grey.data(), clipped.data(), rows, cols, rows * cols);
  EXPECT_EQ(whole.left, 0);
  EXPECT_EQ(whole.width, cols);
}

TEST(RichestRegion, PrefersEdgesOfEveryOrientationToStrongerParallelOnes) {
  const int rows = 300, cols = 400;
  // Strong vertical stripes top left, which leave the blur's vertical extent
  // unseen; a fainter checkerboard bottom right.
  std::vector<double> grey = texturedAt(rows, cols, 200, 300, 100, 5);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 100; ++x) {
      grey[static_cast<std::size_t>(y) * cols + x] = (x / 3) % 2 ? 0.95 : 0.05;
    }
  }
  for (double& v : grey) {
    if (v == 0.9 || v == 0.1) v = 0.5 + (v - 0.5) * 0.5;
  }
  const std::vector<double> clipped(grey.size(), 0.0);
  const Region region = richestRegion(grey.data(), clipped.data(), rows, cols, 120.0 * 160.0);
  EXPECT_EQ(region.top + region.height, rows);
  EXPECT_EQ(region.left + region.width, cols);
}

TEST(RichestRegion, IgnoresEdgesOfClippedPixels) {
  const int rows = 300, cols = 400;
  // Two textured corners; the brighter one is clipped.
  std::vector<double> grey = texturedAt(rows, cols, 0, 0, 100, 5);
  const std::vector<double> other = texturedAt(rows, cols, 200, 300, 100, 4);
  std::vector<double> clipped(grey.size(), 0.0);
  for (std::size_t i = 0; i < grey.size(); ++i) {
    if (other[i] != 0.5) grey[i] = other[i];
  }
  for (int y = 200; y < rows; ++y) {
    for (int x = 300; x < cols; ++x) clipped[static_cast<std::size_t>(y) * cols + x] = 1.0;
  }
  const Region region = richestRegion(grey.data(), clipped.data(), rows, cols, 120.0 * 160.0);
  EXPECT_EQ(region.top, 0);
  EXPECT_EQ(region.left, 0);
}

TEST(ClippedPixels, MarksAPixelClippedInAnyPlane) {
  const std::vector<double> planes = {0.1, 0.99, 0.5, 0.2,   // red
                                      0.97, 0.1, 0.5, 0.2,   // green
                                      0.1, 0.1, 0.5, 0.96};  // blue
  EXPECT_EQ(clippedPixels(planes.data(), 2, 2, 3), (std::vector<double>{1.0, 1.0, 0.0, 0.0}));
}

TEST(CropPlanes, CutsTheSameWindowOfEveryPlane) {
  std::vector<double> planes(2 * 4 * 5);
  for (std::size_t i = 0; i < planes.size(); ++i) planes[i] = static_cast<double>(i);
  const std::vector<double> crop = cropPlanes(planes.data(), 4, 5, 2, {1, 2, 3, 2});
  EXPECT_EQ(crop, (std::vector<double>{11, 12, 13, 16, 17, 18, 31, 32, 33, 36, 37, 38}));
}

}  // namespace
}  // namespace kestrel
