#include "fourier/grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kestrel {
namespace {

bool onlyTwoThreeAndFive(int length) {
  for (const int factor : {2, 3, 5}) {
    while (length % factor == 0) length /= factor;
  }
  return length == 1;
}

TEST(FastTransformLength, IsTheSmallestEvenLengthWithNoPrimeFactorAboveFive) {
  for (int minimum = 1; minimum <= 5000; ++minimum) {
    const int length = fastTransformLength(minimum);
    ASSERT_GE(length, minimum);
    ASSERT_EQ(length % 2, 0) << minimum;
    ASSERT_TRUE(onlyTwoThreeAndFive(length)) << minimum;
    for (int shorter = minimum; shorter < length; ++shorter) {
      ASSERT_FALSE(shorter % 2 == 0 && onlyTwoThreeAndFive(shorter)) << minimum;
    }
  }
  EXPECT_EQ(fastTransformLength(1), 2);
  EXPECT_EQ(fastTransformLength(1 << 30), 1 << 30);
  // Far beyond any picture side, the answer is still close above the minimum.
  const int large = fastTransformLength((1 << 29) + 1);
  EXPECT_TRUE(large % 2 == 0 && onlyTwoThreeAndFive(large));
  EXPECT_GT(large, 1 << 29);
  EXPECT_LT(large, 1.05 * (1 << 29));
}

TEST(KernelCleanUp, ClampsNormalisesAndFallsBackToTheCentredDelta) {
  std::vector<double> kernel = {-0.5, 0.2, std::numeric_limits<double>::quiet_NaN(), 3.0, 0.2, 0.0};
  clampAndNormalise(kernel, 2, 3);
  // -0.5 and NaN become 0, 3 becomes 1: the sum is 1.4.
  const std::vector<double> expected = {0.0, 0.2 / 1.4, 0.0, 1.0 / 1.4, 0.2 / 1.4, 0.0};
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(kernel[i], expected[i]) << i;

  for (std::vector<double> empty : {std::vector<double>(9, 0.0), std::vector<double>(9, -1.0)}) {
    clampAndNormalise(empty, 3, 3);
    EXPECT_EQ(empty, centredDelta(3, 3));
  }
  std::vector<double> infinite(9, 0.0);
  infinite[2] = std::numeric_limits<double>::infinity();
  normaliseOrReset(infinite, 3, 3);
  EXPECT_EQ(infinite, centredDelta(3, 3));
}

}  // namespace
}  // namespace kestrel
