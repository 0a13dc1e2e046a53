#include "deblur/recentre.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace kestrel {
namespace {

using Kernel = std::vector<double>;

// Bilinear sampling keeps the sum and moves the first moment by exactly the
// shift; in floating point both carry a few ulps per summed entry.
constexpr double kMomentTolerance = 1e-12;

Kernel recentred(const Kernel& kernel, int width, int height) {
  Kernel out(kernel.size(), -1.0);
  EXPECT_EQ(recentreKernel(kernel.data(), out.data(), width, height), 0);
  return out;
}

TEST(RecentreKernel, ReproducesACentredDeltaExactly) {
  for (int width : {1, 3, 5, 9}) {
    for (int height : {1, 3, 7}) {
      Kernel delta(static_cast<size_t>(width) * height, 0.0);
      delta[(height / 2) * width + width / 2] = 1.0;
      EXPECT_EQ(recentred(delta, width, height), delta) << width << "x" << height;
    }
  }
}

TEST(RecentreKernel, MovesTopLeftMassToTheCentre) {
  Kernel corner(9, 0.0);
  corner[0] = 1.0;
  Kernel centre(9, 0.0);
  centre[4] = 1.0;
  EXPECT_EQ(recentred(corner, 3, 3), centre);
}

TEST(RecentreKernel, ShiftsARowByHalfASample) {
  EXPECT_EQ(recentred({0, 0, 0.5, 0.5, 0}, 5, 1), (Kernel{0, 0.25, 0.5, 0.25, 0}));
  // The same row laid out as a column.
  EXPECT_EQ(recentred({0, 0, 0.5, 0.5, 0}, 1, 5), (Kernel{0, 0.25, 0.5, 0.25, 0}));
}

TEST(RecentreKernel, LosesTheMassShiftedBeyondTheGrid) {
  // dx = 1.5: sampling points 4.5 and 5.5 lie past the last column.
  const Kernel out = recentred({0, 0, 0, 0.5, 0.5}, 5, 1);
  EXPECT_EQ(out, (Kernel{0, 0.25, 0.5, 0, 0}));
  EXPECT_EQ(out[0] + out[1] + out[2] + out[3] + out[4], 0.75);
}

TEST(RecentreKernel, WorksInPlace) {
  std::mt19937 random(17);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int width : {3, 5, 8, 15}) {
    for (int height : {1, 3, 6, 11}) {
      Kernel kernel(static_cast<size_t>(width) * height);
      double sum = 0.0;
      for (double& v : kernel) sum += (v = uniform(random) * uniform(random));
      for (double& v : kernel) v /= sum;
      const Kernel apart = recentred(kernel, width, height);
      recentreKernel(kernel.data(), kernel.data(), width, height);
      EXPECT_EQ(kernel, apart) << width << "x" << height;
    }
  }
}

TEST(RecentreKernel, ReproducesPointSymmetricKernelsExactly) {
  // Entries are multiples of 2^-20, so the moments are exact and a kernel
  // symmetric about the centre has a shift of exactly 0.
  constexpr double kUnit = 1.0 / (1 << 20);
  std::mt19937 random(29);
  std::uniform_int_distribution<int> units(0, 900);
  for (int width : {1, 3, 5, 7, 13}) {
    for (int height : {1, 3, 9, 15}) {
      const int count = width * height;
      Kernel kernel(count, 0.0);
      double rest = 1.0;
      for (int i = 0; i < count / 2; ++i) {
        const double value = units(random) * kUnit;
        kernel[i] = value;
        kernel[count - 1 - i] = value;
        rest -= 2 * value;
      }
      kernel[count / 2] = rest;
      ASSERT_GE(rest, 0.0);
      EXPECT_EQ(recentred(kernel, width, height), kernel) << width << "x" << height;
    }
  }
}

TEST(RecentreKernel, PutsTheCentreOfMassOnTheCentreWhenNothingFallsOff) {
  std::mt19937 random(31);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::uniform_int_distribution<int> offset(-2, 2);
  for (int trial = 0; trial < 50; ++trial) {
    const int width = 15;
    const int height = 13;
    // A 5 x 5 support whose middle is at most 2 from the centre: wherever
    // its mass lies, the shifted support and its interpolation neighbours
    // stay at least two samples inside the grid.
    const int left = 5 + offset(random);
    const int top = 4 + offset(random);
    Kernel kernel(width * height, 0.0);
    double sum = 0.0;
    for (int y = top; y < top + 5; ++y)
      for (int x = left; x < left + 5; ++x) sum += (kernel[y * width + x] = uniform(random));
    for (double& v : kernel) v /= sum;

    const Kernel out = recentred(kernel, width, height);
    double mass = 0.0;
    double cx = 0.0;
    double cy = 0.0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        mass += out[y * width + x];
        cx += x * out[y * width + x];
        cy += y * out[y * width + x];
      }
    }
    EXPECT_NEAR(mass, 1.0, kMomentTolerance);
    EXPECT_NEAR(cx / mass, width / 2, kMomentTolerance);
    EXPECT_NEAR(cy / mass, height / 2, kMomentTolerance);
  }
}

TEST(RecentreKernel, AKernelWithoutAFiniteCentreGivesZeros) {
  const Kernel out = recentred({0.2, std::nan(""), 0.3, 0.1, 0.4, 0.0, 0.0, 0.0, 0.0}, 3, 3);
  EXPECT_EQ(out, Kernel(9, 0.0));
}

}  // namespace
}  // namespace kestrel
