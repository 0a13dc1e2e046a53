#include "fourier/kernel_estimation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::circularConvolve;
using testing::forwardDiffX;
using testing::forwardDiffY;
using testing::motionKernel;
using testing::normalisedCrossCorrelation;
using testing::Plane;
using testing::randomPlane;
using testing::syntheticPicture;
using testing::wrap;

// The weight the multi-scale driver uses.
constexpr double kDriverWeight = 40.0;
// A weight small against the gradient spectra of the test pictures, so the
// estimate is almost the unregularised fit.
constexpr double kSmallWeight = 1e-2;
// Cost gradient at the estimate relative to the cost gradient at k = 0:
// rounding of three transforms and a division, measured 5e-16.
constexpr double kOptimalityTolerance = 1e-10;
// With no blur and the small weight, every tap is off by about the mean of
// weight / (a |P|^2 + weight) over the grid: measured up to 2.7e-4; a
// one-cell shift would move the 1 elsewhere entirely.
constexpr double kImpulseTolerance = 1e-3;
// Similarity of the recovered and the true 13x13 kernel. Measured: 0.978 at
// the driver's weight, 1.000 at the small weight. The same kernel moved by
// one cell scores 0.63 and flipped 0.61, so these bounds catch placement and
// orientation faults while leaving room for rounding.
constexpr double kDriverWeightSimilarity = 0.95;
constexpr double kSmallWeightSimilarity = 0.999;

Plane estimate(const Plane& predX, const Plane& predY, LevelSpectra& s, int rows, int cols,
               int kernelRows, int kernelCols, double weight) {
  Plane kernel(static_cast<std::size_t>(kernelRows) * kernelCols, -9.0);
  estimateKernel(predX.data(), predY.data(), s, rows, cols, kernelRows, kernelCols, kernel.data(),
                 weight);
  return kernel;
}

// Negative entries clipped, then scaled to sum 1, as the driver's clean-up
// starts.
Plane clippedAndNormalised(Plane k) {
  double sum = 0.0;
  for (double& v : k) {
    v = std::max(v, 0.0);
    sum += v;
  }
  for (double& v : k) v /= sum;
  return k;
}

TEST(EstimateKernel, GivesZerosForZeroPredictedGradientsEvenWithoutWeight) {
  const int rows = 20, cols = 24;
  const Plane image = randomPlane(rows, cols, 1u);
  const Plane start(5 * 5, 0.04);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), start.data(), cols, rows, 5, 5, s);
  const Plane zeros(rows * cols, 0.0);
  for (double weight : {kDriverWeight, 0.0}) {
    const Plane kernel = estimate(zeros, zeros, s, rows, cols, 5, 5, weight);
    for (double v : kernel) EXPECT_EQ(v, 0.0) << weight;
  }
}

TEST(EstimateKernel, IsUnchangedWhenGradientsDoubleAndTheWeightQuadruples) {
  const int rows = 26, cols = 21;
  const Plane image = randomPlane(rows, cols, 2u);
  Plane doubled = image;
  for (double& v : doubled) v *= 2.0;
  const Plane predX = randomPlane(rows, cols, 3u, -0.5, 0.5);
  const Plane predY = randomPlane(rows, cols, 4u, -0.5, 0.5);
  Plane predX2 = predX, predY2 = predY;
  for (double& v : predX2) v *= 2.0;
  for (double& v : predY2) v *= 2.0;
  const Plane start(7 * 5, 1.0 / 35);
  LevelSpectra s, s2;
  prepareLevelSpectra(image.data(), start.data(), cols, rows, 5, 7, s);
  prepareLevelSpectra(doubled.data(), start.data(), cols, rows, 5, 7, s2);
  const Plane k = estimate(predX, predY, s, rows, cols, 7, 5, kDriverWeight);
  const Plane k2 = estimate(predX2, predY2, s2, rows, cols, 7, 5, 4.0 * kDriverWeight);
  // Scaling by a power of two commutes with every rounding, so the two
  // estimates agree to the last bit.
  EXPECT_EQ(k2, k);
  EXPECT_NE(k, Plane(k.size(), 0.0));
}

TEST(EstimateKernel, IsTheExactMinimiserOverThePaddedGrid) {
  // Asking for a kernel as large as the padded grid returns the whole
  // minimiser, whose cost gradient must vanish:
  //   dJ/dk = 2a px'(k*px - bx) + 2a py'(k*py - by) + 2 weight k = 0,
  // with ' the circular correlation, all computed here by direct sums.
  const int rows = 14, cols = 11;
  const Plane image = randomPlane(rows, cols, 5u);
  const Plane start(5 * 5, 0.04);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), start.data(), cols, rows, 5, 5, s);
  const int P = s.padRows, Q = s.padCols;
  const std::size_t n = static_cast<std::size_t>(P) * Q;
  const Plane predX = randomPlane(rows, cols, 6u, -0.5, 0.5);
  const Plane predY = randomPlane(rows, cols, 7u, -0.5, 0.5);
  const Plane window = estimate(predX, predY, s, rows, cols, P, Q, kDriverWeight);

  const auto placed = [&](const Plane& plane) {
    Plane grid(n, 0.0);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) grid[(r + s.padTop) * Q + c + s.padLeft] = plane[r * cols + c];
    return grid;
  };
  const Plane px = placed(predX), py = placed(predY);
  const Plane bx = placed(forwardDiffX(image, rows, cols));
  const Plane by = placed(forwardDiffY(image, rows, cols));
  Plane k(n);
  for (int i = 0; i < P; ++i)
    for (int j = 0; j < Q; ++j) k[wrap(i - P / 2, P) * Q + wrap(j - Q / 2, Q)] = window[i * Q + j];

  const auto costGradient = [&](const Plane& kernel) {
    const double a = 0.5;
    Plane gradient(n, 0.0);
    for (const auto& [p, b] : {std::pair{&px, &bx}, {&py, &by}}) {
      Plane residual(n, 0.0);
      for (int u = 0; u < P; ++u)
        for (int v = 0; v < Q; ++v) {
          double sum = -(*b)[u * Q + v];
          for (int i = 0; i < P; ++i)
            for (int j = 0; j < Q; ++j)
              sum += kernel[i * Q + j] * (*p)[wrap(u - i, P) * Q + wrap(v - j, Q)];
          residual[u * Q + v] = sum;
        }
      for (int i = 0; i < P; ++i)
        for (int j = 0; j < Q; ++j) {
          double sum = 0.0;
          for (int u = 0; u < P; ++u)
            for (int v = 0; v < Q; ++v)
              sum += residual[u * Q + v] * (*p)[wrap(u - i, P) * Q + wrap(v - j, Q)];
          gradient[i * Q + j] += 2.0 * a * sum;
        }
    }
    for (std::size_t m = 0; m < n; ++m) gradient[m] += 2.0 * kDriverWeight * kernel[m];
    return gradient;
  };
  const Plane atZero = costGradient(Plane(n, 0.0));
  const Plane atEstimate = costGradient(k);
  double scale = 0.0, residual = 0.0;
  for (std::size_t m = 0; m < n; ++m) {
    scale = std::max(scale, std::fabs(atZero[m]));
    residual = std::max(residual, std::fabs(atEstimate[m]));
  }
  ASSERT_GT(scale, 0.0);
  EXPECT_LT(residual, kOptimalityTolerance * scale);
}

TEST(EstimateKernel, GivesACentredImpulseWhenNothingIsBlurred) {
  const int rows = 40, cols = 36, kernelSize = 9;
  const Plane image = randomPlane(rows, cols, 8u);
  const Plane start(kernelSize * kernelSize, 1.0 / (kernelSize * kernelSize));
  LevelSpectra s;
  prepareLevelSpectra(image.data(), start.data(), cols, rows, kernelSize, kernelSize, s);
  const Plane kernel =
      estimate(s.blurGradX, s.blurGradY, s, rows, cols, kernelSize, kernelSize, kSmallWeight);
  for (int i = 0; i < kernelSize; ++i)
    for (int j = 0; j < kernelSize; ++j) {
      const bool centre = i == kernelSize / 2 && j == kernelSize / 2;
      EXPECT_NEAR(kernel[i * kernelSize + j], centre ? 1.0 : 0.0, kImpulseTolerance)
          << i << "," << j;
    }
}

TEST(EstimateKernel, RecoversAMotionPathFromTheSharpGradients) {
  // The picture keeps a uniform margin wider than the kernel's reach, so its
  // circular blur equals the zero-padded one the estimate models: only the
  // weight separates the estimate from the truth.
  const int size = 112, margin = 10, kernelSize = 13;
  const Plane sharp = syntheticPicture(size, size, margin);
  const Plane truth = motionKernel();
  const Plane blurred = circularConvolve(sharp, size, size, truth, kernelSize, kernelSize);
  LevelSpectra s;
  prepareLevelSpectra(blurred.data(), truth.data(), size, size, kernelSize, kernelSize, s);
  const Plane px = forwardDiffX(sharp, size, size), py = forwardDiffY(sharp, size, size);

  const Plane withDriverWeight =
      clippedAndNormalised(estimate(px, py, s, size, size, kernelSize, kernelSize, kDriverWeight));
  EXPECT_GT(normalisedCrossCorrelation(withDriverWeight, truth), kDriverWeightSimilarity);
  const Plane withSmallWeight =
      clippedAndNormalised(estimate(px, py, s, size, size, kernelSize, kernelSize, kSmallWeight));
  EXPECT_GT(normalisedCrossCorrelation(withSmallWeight, truth), kSmallWeightSimilarity);
}

}  // namespace
}  // namespace kestrel
