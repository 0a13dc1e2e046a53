#include "fourier/level_spectra.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "fourier/fft_toolkit.h"
#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::forwardDiffX;
using testing::forwardDiffY;
using testing::halfToSpace;
using testing::Plane;
using testing::randomPlane;

// One forward and one backward transform of up to ~10^5 cells of values
// of order 1, divided by the cell count: rounding stays far below 1e-12.
constexpr double kRoundTripTolerance = 1e-12;
// Box means of at most a few dozen equal terms.
constexpr double kBoxMeanTolerance = 1e-14;

Plane centredImpulse(int kernelRows, int kernelCols) {
  Plane k(static_cast<std::size_t>(kernelRows) * kernelCols, 0.0);
  k[(kernelRows / 2) * kernelCols + kernelCols / 2] = 1.0;
  return k;
}

TEST(FftFriendlySize, PicksAPurePowerOfOneSmallPrime) {
  const std::pair<int, int> cases[] = {{100, 125}, {224, 243},   {330, 343},
                                       {700, 729}, {1000, 1024}, {1025, 2048},
                                       {2, 2},     {6, 7},       {26, 27}};
  for (const auto& [n, size] : cases) EXPECT_EQ(fftFriendlySize(n), size) << n;
}

TEST(FftFriendlySize, IsNeverBelowItsArgumentNorAboveTwiceIt) {
  for (int n = 2; n <= 5000; ++n) {
    const int size = fftFriendlySize(n);
    ASSERT_GE(size, n);
    ASSERT_LE(size, 2 * n);
    int rest = size;
    int base = 0;
    for (int p : {2, 3, 5, 7}) {
      if (rest % p == 0) {
        base = p;
        break;
      }
    }
    ASSERT_NE(base, 0) << n;
    while (rest % base == 0) rest /= base;
    ASSERT_EQ(rest, 1) << n << " gives " << size << ", not a power of one prime";
  }
}

TEST(PrepareLevelSpectra, CentresTheLevelInAnFftFriendlyPaddedGrid) {
  const int rows = 200, cols = 300, kernelRows = 25, kernelCols = 31;
  const Plane image = randomPlane(rows, cols, 1u);
  const Plane kernel = centredImpulse(kernelRows, kernelCols);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, kernelCols, kernelRows, s);
  EXPECT_EQ(s.padRows, 243);
  EXPECT_EQ(s.padCols, 343);
  EXPECT_EQ(s.padTop, 21);
  EXPECT_EQ(s.padBottom, 22);
  EXPECT_EQ(s.padLeft, 21);
  EXPECT_EQ(s.padRight, 22);
  EXPECT_EQ(s.halfCols, 151);
  EXPECT_EQ(s.padHalfCols, 172);
  EXPECT_EQ(s.blurGradXSpectrum.size(), 243u * 172u);
  EXPECT_EQ(s.blurGradYSpectrum.size(), 243u * 172u);
  EXPECT_EQ(s.blurredSpectrum.size(), 200u * 151u);
  EXPECT_EQ(s.gradientPower.size(), 200u * 151u);
  EXPECT_EQ(s.derivativeWeight.size(), 200u * 151u);
}

TEST(PrepareLevelSpectra, KeepsThePaddingInvariantsForManySizes) {
  const std::tuple<int, int, int, int> cases[] = {{44, 58, 3, 3}, {71, 94, 5, 5}, {30, 17, 9, 4},
                                                  {9, 40, 2, 7},  {64, 64, 1, 1}, {13, 11, 6, 8}};
  for (const auto& [rows, cols, kernelRows, kernelCols] : cases) {
    const Plane image = randomPlane(rows, cols, 2u + rows);
    const Plane kernel = centredImpulse(kernelRows, kernelCols);
    LevelSpectra s;
    prepareLevelSpectra(image.data(), kernel.data(), cols, rows, kernelCols, kernelRows, s);
    EXPECT_EQ(s.padRows, s.padTop + rows + s.padBottom);
    EXPECT_EQ(s.padCols, s.padLeft + cols + s.padRight);
    EXPECT_GE(s.padRows, rows + kernelRows - 1);
    EXPECT_GE(s.padCols, cols + kernelCols - 1);
    EXPECT_TRUE(s.padBottom - s.padTop == 0 || s.padBottom - s.padTop == 1);
    EXPECT_TRUE(s.padRight - s.padLeft == 0 || s.padRight - s.padLeft == 1);
  }
}

TEST(PrepareLevelSpectra, TakesForwardDifferencesOfTheUntaperedImage) {
  const int rows = 23, cols = 31;
  const Plane image = randomPlane(rows, cols, 3u);
  // A wide kernel, so the taper visibly changes the borders.
  const Plane kernel(7 * 7, 1.0 / 49.0);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, 7, 7, s);
  EXPECT_EQ(s.blurGradX, forwardDiffX(image, rows, cols));
  EXPECT_EQ(s.blurGradY, forwardDiffY(image, rows, cols));
  for (int r = 0; r < rows; ++r) EXPECT_EQ(s.blurGradX[r * cols + cols - 1], 0.0);
  for (int c = 0; c < cols; ++c) EXPECT_EQ(s.blurGradY[(rows - 1) * cols + c], 0.0);
}

TEST(PrepareLevelSpectra, PadsTheGradientsWithZerosAroundTheLevel) {
  const int rows = 19, cols = 26, kernelRows = 5, kernelCols = 9;
  const Plane image = randomPlane(rows, cols, 4u);
  const Plane kernel = centredImpulse(kernelRows, kernelCols);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, kernelCols, kernelRows, s);
  const Plane gx = forwardDiffX(image, rows, cols);
  const Plane gy = forwardDiffY(image, rows, cols);
  const Plane placedX = halfToSpace(s.blurGradXSpectrum, s.padRows, s.padCols);
  const Plane placedY = halfToSpace(s.blurGradYSpectrum, s.padRows, s.padCols);
  for (int i = 0; i < s.padRows; ++i) {
    for (int j = 0; j < s.padCols; ++j) {
      const int r = i - s.padTop, c = j - s.padLeft;
      const bool inside = r >= 0 && r < rows && c >= 0 && c < cols;
      const std::size_t at = static_cast<std::size_t>(i) * s.padCols + j;
      EXPECT_NEAR(placedX[at], inside ? gx[r * cols + c] : 0.0, kRoundTripTolerance);
      EXPECT_NEAR(placedY[at], inside ? gy[r * cols + c] : 0.0, kRoundTripTolerance);
    }
  }
}

TEST(PrepareLevelSpectra, TransformsTheImageItselfUnderAUnitImpulseKernel) {
  const int rows = 24, cols = 18;
  const Plane image = randomPlane(rows, cols, 5u);
  const Plane kernel = centredImpulse(3, 3);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, 3, 3, s);
  const Plane back = halfToSpace(s.blurredSpectrum, rows, cols);
  for (std::size_t i = 0; i < image.size(); ++i)
    EXPECT_NEAR(back[i], image[i], kRoundTripTolerance);
}

TEST(PrepareLevelSpectra, TransformsTheEdgeTaperedImageAndTheGridSpectra) {
  const int rows = 20, cols = 27, kernelRows = 5, kernelCols = 7;
  const Plane image = randomPlane(rows, cols, 6u);
  const Plane kernel = randomPlane(kernelRows, kernelCols, 7u, 0.0, 1.0 / 35);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, kernelCols, kernelRows, s);

  Plane tapered(image.size());
  edgeTaper(image.data(), tapered.data(), kernel.data(), rows, cols, kernelRows, kernelCols);
  const Plane back = halfToSpace(s.blurredSpectrum, rows, cols);
  for (std::size_t i = 0; i < image.size(); ++i)
    EXPECT_NEAR(back[i], tapered[i], kRoundTripTolerance);

  // The kept half of the full grid spectra.
  FftwBuffer g(image.size()), w(image.size());
  derivativeSpectra(rows, cols, g.data(), w.data());
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < s.halfCols; ++c) {
      const std::size_t full = static_cast<std::size_t>(r) * cols + c;
      const std::size_t half = static_cast<std::size_t>(r) * s.halfCols + c;
      EXPECT_EQ(s.gradientPower[half], g[full][0]);
      EXPECT_EQ(s.derivativeWeight[half], w[full][0]);
    }
  }
  EXPECT_EQ(s.gradientPower[0], 0.0);
  EXPECT_EQ(s.derivativeWeight[0], 1.0);
}

TEST(PrepareLevelSpectra, GivesAConstantImageZeroGradientsSpectraAndCoherence) {
  const int rows = 32, cols = 40;
  const Plane image(rows * cols, 0.37);
  const Plane kernel(5 * 5, 0.04);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, 5, 5, s);
  for (double v : s.blurGradX) EXPECT_EQ(v, 0.0);
  for (double v : s.blurGradY) EXPECT_EQ(v, 0.0);
  for (std::size_t i = 0; i < s.blurGradXSpectrum.size(); ++i) {
    EXPECT_EQ(s.blurGradXSpectrum[i][0], 0.0);
    EXPECT_EQ(s.blurGradXSpectrum[i][1], 0.0);
    EXPECT_EQ(s.blurGradYSpectrum[i][0], 0.0);
    EXPECT_EQ(s.blurGradYSpectrum[i][1], 0.0);
  }
  Plane map(image.size(), -1.0);
  gradientCoherenceMap(s, map.data(), rows, cols, 3, 3);
  for (double v : map) EXPECT_EQ(v, 0.0);
}

TEST(GradientCoherenceMap, IsGOverGPlusOneWhereAllGradientsAgree) {
  const int rows = 30, cols = 36, boxRows = 5, boxCols = 3;
  for (double slope : {0.01, 0.3, 2.0, -0.5}) {
    Plane ramp(rows * cols);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) ramp[r * cols + c] = slope * c;
    const Plane kernel = centredImpulse(3, 3);
    LevelSpectra s;
    prepareLevelSpectra(ramp.data(), kernel.data(), cols, rows, 3, 3, s);
    Plane map(ramp.size());
    gradientCoherenceMap(s, map.data(), rows, cols, boxRows, boxCols);
    const double g = std::fabs(slope);
    // Away from the borders and from the zero last column of blurGradX.
    for (int r = boxRows / 2; r < rows - boxRows / 2; ++r)
      for (int c = boxCols / 2; c < cols - 1 - boxCols / 2; ++c)
        ASSERT_NEAR(map[r * cols + c], g / (g + 1.0), kBoxMeanTolerance) << slope;
  }
}

TEST(GradientCoherenceMap, ShrinksWhereGradientsCancelWithinTheBox) {
  // Columns alternate between 0 and 1: gradients +1 and -1 in turn. A box
  // five columns wide averages them to +-1/5 while their magnitudes stay 1,
  // so the map is (1/5) / 2. A box only three columns wide would give 1/6.
  const int rows = 21, cols = 30, boxRows = 3, boxCols = 5;
  Plane stripes(rows * cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) stripes[r * cols + c] = c % 2;
  const Plane kernel = centredImpulse(3, 3);
  LevelSpectra s;
  prepareLevelSpectra(stripes.data(), kernel.data(), cols, rows, 3, 3, s);
  Plane map(stripes.size());
  gradientCoherenceMap(s, map.data(), rows, cols, boxRows, boxCols);
  for (int r = boxRows / 2; r < rows - boxRows / 2; ++r)
    for (int c = boxCols / 2; c < cols - 1 - boxCols / 2; ++c)
      ASSERT_NEAR(map[r * cols + c], 0.2 / 2.0, kBoxMeanTolerance) << r << "," << c;
}

TEST(ReleaseLevelSpectra, FreesEverythingAndMayBeCalledTwice) {
  const int rows = 12, cols = 14;
  const Plane image = randomPlane(rows, cols, 8u);
  const Plane kernel = centredImpulse(3, 3);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, 3, 3, s);
  releaseLevelSpectra(s);
  for (const FftwBuffer* b : {&s.blurredSpectrum, &s.blurGradXSpectrum, &s.blurGradYSpectrum}) {
    EXPECT_EQ(b->data(), nullptr);
    EXPECT_EQ(b->size(), 0u);
  }
  EXPECT_TRUE(s.gradientPower.empty());
  EXPECT_TRUE(s.derivativeWeight.empty());
  EXPECT_TRUE(s.blurGradX.empty());
  EXPECT_TRUE(s.blurGradY.empty());
  EXPECT_EQ(s.scratch, nullptr);
  EXPECT_EQ(s.halfCols + s.padRows + s.padCols + s.padHalfCols + s.padTop + s.padBottom +
                s.padLeft + s.padRight,
            0);
  releaseLevelSpectra(s);
  EXPECT_TRUE(s.gradientPower.empty());

  // The record can be prepared again, for the next level.
  prepareLevelSpectra(image.data(), kernel.data(), cols, rows, 3, 3, s);
  EXPECT_EQ(s.blurGradX, forwardDiffX(image, rows, cols));
}

}  // namespace
}  // namespace kestrel
