#include "deblur/kernel_size.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "tests/support/synthetic_scene.h"

namespace kestrel {
namespace {

std::vector<double> horizontalLine(int side, int length) {
  std::vector<double> kernel(static_cast<std::size_t>(side) * side, 0.0);
  for (int i = 0; i < length; ++i) {
    kernel[static_cast<std::size_t>(side / 2) * side + side / 2 - length / 2 + i] = 1.0 / length;
  }
  return kernel;
}

TEST(KernelExtent, HoldsTheBlurPathWithAMarginAndIgnoresFaintSpecks) {
  std::vector<double> kernel = horizontalLine(41, 21);
  // Reach 10 each way, plus a margin of 2: 25 wide; one row plus 2 each way.
  const KernelSize line = kernelExtent(kernel.data(), 41, 41);
  EXPECT_EQ(line.width, 25);
  EXPECT_EQ(line.height, 5);
  kernel[0] = 0.004;
  const KernelSize specked = kernelExtent(kernel.data(), 41, 41);
  EXPECT_EQ(specked.width, line.width);
  EXPECT_EQ(specked.height, line.height);
}

// A noisy estimate scatters specks over its whole grid; together they may
// outweigh the path, but each stands alone.
TEST(KernelExtent, FollowsThePathThroughScatteredNoise) {
  std::vector<double> kernel = horizontalLine(41, 11);
  for (int y = 0; y < 41; y += 6) {
    for (int x = 0; x < 41; x += 6) kernel[static_cast<std::size_t>(y) * 41 + x] += 0.25 / 11;
  }
  const KernelSize extent = kernelExtent(kernel.data(), 41, 41);
  EXPECT_EQ(extent.width, 15);
  EXPECT_EQ(extent.height, 5);
}

TEST(KernelExtent, StaysOddAndWithinTheGrid) {
  const std::vector<double> full(15 * 9, 1.0);
  const KernelSize whole = kernelExtent(full.data(), 9, 15);
  EXPECT_EQ(whole.width, 15);
  EXPECT_EQ(whole.height, 9);
  std::vector<double> point(15 * 9, 0.0);
  point[4 * 15 + 7] = 1.0;
  const KernelSize delta = kernelExtent(point.data(), 9, 15);
  EXPECT_EQ(delta.width, 5);
  EXPECT_EQ(delta.height, 5);
}

TEST(ProbeKernelSide, GrowsWithThePictureWithinItsBounds) {
  EXPECT_EQ(probeKernelSide(4000, 3000), 75);
  EXPECT_EQ(probeKernelSide(255, 255), 51);
  EXPECT_EQ(probeKernelSide(320, 40), 15);
  EXPECT_EQ(probeKernelSide(12, 12), 11);
  EXPECT_EQ(probeKernelSide(4, 4), 3);
  EXPECT_EQ(probeKernelSide(2, 50), 0);
}

// Blurs by the L-shaped path, which spans 2 * (side / 2 - 1) + 1 columns,
// and measures: the size found must hold the path but not much more.
TEST(MeasureKernelSize, FindsTheExtentOfKnownBlurs) {
  constexpr int kScene = 200;
  for (int side : {9, 15, 21}) {
    const int span = 2 * (side / 2 - 1) + 1;
    const int big = kScene + 2 * side;
    const std::vector<double> scene = testing::sharpScene(big, big);
    std::vector<double> blurred = testing::validBlur(scene, big, big, testing::shakeKernel(side),
                                                     side, side);
    testing::addNoise(blurred, 0.002, 3);
    const int rows = big - side + 1;
    const KernelSize measured = measureKernelSize(blurred.data(), rows, rows, 1, {}, true, true,
                                                  0.002);
    EXPECT_GE(measured.width, span) << side;
    EXPECT_LE(measured.width, span + 10) << side;
    EXPECT_GE(measured.height, 3) << side;
    EXPECT_LE(measured.height, side + 10) << side;
    EXPECT_EQ(measured.width % 2, 1);
    EXPECT_EQ(measured.height % 2, 1);
  }
}

TEST(MeasureKernelSize, KeepsAGivenSide) {
  const int rows = 120;
  const std::vector<double> scene = testing::sharpScene(rows, rows);
  const KernelSize measured = measureKernelSize(scene.data(), rows, rows, 1, {7, 0}, false, true,
                                                0.0);
  EXPECT_EQ(measured.width, 7);
  EXPECT_GE(measured.height, 3);
}

}  // namespace
}  // namespace kestrel
