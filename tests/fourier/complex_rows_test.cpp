#include "fourier/complex_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::naiveDft;
using testing::randomPlane;

// Rader's convolution and the twiddles add a few roundings per value
// against the textbook sums: a few ulps of the largest coefficient.
constexpr double kAgreementTolerance = 1e-12;

// Lengths that are split: a prime alone (one piece), a prime times small
// factors, two primes that both qualify, and the padded-canvas lengths of
// a two-megapixel photo. Lengths FFTW keeps: small primes, powers of two,
// and a large prime whose p - 1 has a large factor.
const int kSplitLengths[] = {37, 113, 2 * 37, 3 * 67, 8 * 131, 15 * 113, 37 * 41, 4 * 199};
const int kFftwLengths[] = {1, 2, 31, 64, 23 * 29, 47, 2 * 1531};

// Transforms `count` random rows of `length` values with ComplexRows and
// returns the largest difference from the textbook DFT relative to the
// largest coefficient.
double relativeError(int count, int length, int sign) {
  const std::size_t cells = static_cast<std::size_t>(count) * length;
  const std::vector<double> parts = randomPlane(2, static_cast<int>(cells), 3u + length, -1.0, 1.0);
  FftwBuffer data(cells);
  for (std::size_t i = 0; i < cells; ++i) {
    data[i][0] = parts[i];
    data[i][1] = parts[cells + i];
  }
  std::vector<std::vector<std::complex<double>>> expected;
  for (int r = 0; r < count; ++r) {
    std::vector<std::complex<double>> row;
    for (int j = 0; j < length; ++j) {
      const std::size_t i = static_cast<std::size_t>(r) * length + j;
      row.emplace_back(data[i][0], data[i][1]);
    }
    expected.push_back(naiveDft(row, 1, length, sign));
  }
  ComplexRows(count, length, data.data(), sign).execute();
  double scale = 0.0, difference = 0.0;
  for (int r = 0; r < count; ++r) {
    for (int j = 0; j < length; ++j) {
      const std::size_t i = static_cast<std::size_t>(r) * length + j;
      const std::complex<double> value(data[i][0], data[i][1]);
      scale = std::max(scale, std::abs(expected[r][j]));
      difference = std::max(difference, std::abs(value - expected[r][j]));
    }
  }
  return difference / scale;
}

TEST(ComplexRows, SplitsLengthsWithALargePrimeFactorOfSmoothPredecessor) {
  for (int length : kSplitLengths) EXPECT_TRUE(ComplexRows::splitsLength(length)) << length;
  for (int length : kFftwLengths) EXPECT_FALSE(ComplexRows::splitsLength(length)) << length;
}

TEST(ComplexRows, SplitRowsMatchTheTextbookTransformBothWays) {
  for (int length : kSplitLengths) {
    for (int sign : {FFTW_FORWARD, FFTW_BACKWARD}) {
      EXPECT_LE(relativeError(2, length, sign), kAgreementTolerance)
          << length << (sign == FFTW_FORWARD ? " forward" : " backward");
    }
  }
}

TEST(ComplexRows, RowsLeftToFftwMatchTheTextbookTransform) {
  for (int length : kFftwLengths) {
    EXPECT_LE(relativeError(2, length, FFTW_BACKWARD), kAgreementTolerance) << length;
  }
}

// A forward then a backward split transform returns the rows times the
// length: each direction uses its own roots and convolution kernel.
TEST(ComplexRows, ForwardThenBackwardReturnsTheRowsScaledByTheLength) {
  const int count = 2, length = 6 * 113;
  const std::size_t cells = static_cast<std::size_t>(count) * length;
  const std::vector<double> parts = randomPlane(2, static_cast<int>(cells), 41u, -1.0, 1.0);
  FftwBuffer data(cells);
  for (std::size_t i = 0; i < cells; ++i) {
    data[i][0] = parts[i];
    data[i][1] = parts[cells + i];
  }
  const ComplexRows forward(count, length, data.data(), FFTW_FORWARD);
  const ComplexRows backward(count, length, data.data(), FFTW_BACKWARD);
  // Run twice: the buffers kept between calls must not carry anything over.
  for (int run = 0; run < 2; ++run) {
    forward.execute();
    backward.execute();
    for (std::size_t i = 0; i < cells; ++i) {
      data[i][0] /= length;
      data[i][1] /= length;
    }
  }
  for (std::size_t i = 0; i < cells; ++i) {
    ASSERT_NEAR(data[i][0], parts[i], kAgreementTolerance) << i;
    ASSERT_NEAR(data[i][1], parts[cells + i], kAgreementTolerance) << i;
  }
}

}  // namespace
}  // namespace kestrel
