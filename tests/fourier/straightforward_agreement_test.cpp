// The per-level routines against their straightforward formulations, and
// their independence of the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "fourier/fft_toolkit.h"
#include "fourier/filter2d.h"
#include "fourier/kernel_estimation.h"
#include "fourier/latent_estimation.h"
#include "fourier/level_spectra.h"
#include "parallel/parallel.h"
#include "tests/fourier/straightforward.h"
#include "tests/fourier/test_support.h"
#include "tests/support/agreement.h"

namespace kestrel {
namespace {

using testing::motionKernel;
using testing::Plane;
using testing::randomPlane;
using testing::relativeDifference;

// Half against full complex transforms, separable against 2D sums: the same
// sums in another order, a few ulps of the largest value of the result.
constexpr double kAgreementTolerance = 1e-12;

// Restores the default thread count when a test ends.
class ThreadCount : public ::testing::Test {
 protected:
  void TearDown() override { setThreadCount(defaultThreadCount()); }
};

// Sizes of level grids, odd and even, and kernels.
const std::tuple<int, int, int, int> kLevels[] = {
    {37, 52, 5, 5}, {64, 45, 9, 7}, {90, 101, 13, 13}, {33, 128, 3, 11}};

Plane smoothKernel(int kernelRows, int kernelCols, unsigned seed) {
  Plane k = randomPlane(kernelRows, kernelCols, seed);
  double sum = 0.0;
  for (double v : k) sum += v;
  for (double& v : k) v /= sum;
  return k;
}

TEST(StraightforwardAgreement, DerivativeSpectraMatchFullComplexTransforms) {
  for (const auto& [rows, cols, kernelRows, kernelCols] : kLevels) {
    (void)kernelRows;
    (void)kernelCols;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    FftwBuffer g(n), w(n);
    derivativeSpectra(rows, cols, g.data(), w.data());
    Plane gReference, wReference;
    testing::straightforwardDerivativeSpectra(rows, cols, gReference, wReference);
    Plane gValue(n), wValue(n);
    for (std::size_t i = 0; i < n; ++i) {
      gValue[i] = g[i][0];
      wValue[i] = w[i][0];
      ASSERT_EQ(g[i][1], 0.0);
      ASSERT_EQ(w[i][1], 0.0);
    }
    EXPECT_LE(relativeDifference(gValue, gReference), kAgreementTolerance) << rows << "x" << cols;
    EXPECT_LE(relativeDifference(wValue, wReference), kAgreementTolerance) << rows << "x" << cols;
  }
}

TEST(StraightforwardAgreement, CoherenceMapMatchesDirectBoxSums) {
  for (const auto& [rows, cols, kernelRows, kernelCols] : kLevels) {
    const Plane image = randomPlane(rows, cols, 11u + rows);
    const Plane kernel = smoothKernel(kernelRows, kernelCols, 12u);
    LevelSpectra s;
    prepareLevelSpectra(image.data(), kernel.data(), cols, rows, kernelCols, kernelRows, s);
    for (const auto& [boxRows, boxCols] : {std::pair{3, 3}, {kernelRows, kernelCols}, {1, 7}}) {
      Plane map(image.size());
      gradientCoherenceMap(s, map.data(), rows, cols, boxRows, boxCols);
      const Plane reference = testing::straightforwardCoherenceMap(s, rows, cols, boxRows, boxCols);
      EXPECT_LE(relativeDifference(map, reference), kAgreementTolerance)
          << rows << "x" << cols << " box " << boxRows << "x" << boxCols;
    }
  }
}

TEST(StraightforwardAgreement, KernelEstimateMatchesFullComplexTransforms) {
  for (const auto& [rows, cols, kernelRows, kernelCols] : kLevels) {
    const Plane image = randomPlane(rows, cols, 21u + cols);
    const Plane kernel = smoothKernel(kernelRows, kernelCols, 22u);
    LevelSpectra s;
    prepareLevelSpectra(image.data(), kernel.data(), cols, rows, kernelCols, kernelRows, s);
    const Plane predX = randomPlane(rows, cols, 23u, -1.0, 1.0);
    const Plane predY = randomPlane(rows, cols, 24u, -1.0, 1.0);
    for (double weight : {40.0, 1e-3}) {
      Plane estimate(kernel.size());
      // Twice, so the reuse of the record's scratch space is covered too.
      for (int call = 0; call < 2; ++call) {
        estimateKernel(predX.data(), predY.data(), s, rows, cols, kernelRows, kernelCols,
                       estimate.data(), weight);
        const Plane reference = testing::straightforwardKernel(
            predX.data(), predY.data(), s, rows, cols, kernelRows, kernelCols, weight);
        EXPECT_LE(relativeDifference(estimate, reference), kAgreementTolerance)
            << rows << "x" << cols << " weight " << weight;
      }
    }
  }
}

TEST(StraightforwardAgreement, LatentEstimateMatchesFullComplexTransforms) {
  for (const auto& [rows, cols, kernelRows, kernelCols] : kLevels) {
    const Plane image = randomPlane(rows, cols, 31u + rows);
    const Plane levelKernel = smoothKernel(kernelRows, kernelCols, 32u);
    LevelSpectra s;
    prepareLevelSpectra(image.data(), levelKernel.data(), cols, rows, kernelCols, kernelRows, s);
    for (unsigned seed : {33u, 34u}) {
      const Plane kernel = smoothKernel(kernelRows, kernelCols, seed);
      Plane latent(image.size());
      estimateLatent(kernel.data(), latent.data(), s, rows, cols, kernelRows, kernelCols, 0.002);
      const Plane reference = testing::straightforwardLatent(
          image, levelKernel, kernel.data(), rows, cols, kernelRows, kernelCols, 0.002);
      EXPECT_LE(relativeDifference(latent, reference), kAgreementTolerance)
          << rows << "x" << cols << " seed " << seed;
    }
  }
}

// Large enough for every loop to be split three ways.
constexpr int kSplitRows = 160;
constexpr int kSplitCols = 150;

struct LevelResults {
  Plane taper, gradientPower, coherence, kernel, latent, filtered;
};

LevelResults runLevel() {
  const int rows = kSplitRows, cols = kSplitCols;
  const Plane image = randomPlane(rows, cols, 41u);
  const Plane levelKernel = motionKernel();
  LevelResults results;
  results.taper.resize(image.size());
  edgeTaper(image.data(), results.taper.data(), levelKernel.data(), rows, cols, 13, 13);
  LevelSpectra s;
  prepareLevelSpectra(image.data(), levelKernel.data(), cols, rows, 13, 13, s);
  results.gradientPower = s.gradientPower;
  results.coherence.resize(image.size());
  gradientCoherenceMap(s, results.coherence.data(), rows, cols, 9, 9);
  const Plane predX = randomPlane(rows, cols, 42u, -1.0, 1.0);
  const Plane predY = randomPlane(rows, cols, 43u, -1.0, 1.0);
  results.kernel.resize(levelKernel.size());
  estimateKernel(predX.data(), predY.data(), s, rows, cols, 13, 13, results.kernel.data(), 40.0);
  results.latent.resize(image.size());
  estimateLatent(levelKernel.data(), results.latent.data(), s, rows, cols, 13, 13, 0.002);
  const Plane gaussian(25, 0.04);
  results.filtered.resize(image.size());
  FilterParams params;
  params.input = image.data();
  params.output = results.filtered.data();
  params.width = cols;
  params.height = rows;
  params.kernel = gaussian.data();
  params.kernelWidth = 5;
  params.kernelHeight = 5;
  filter2D(params);
  return results;
}

TEST_F(ThreadCount, ChangesNoBitOfAnyLevelRoutine) {
  setThreadCount(1);
  const LevelResults one = runLevel();
  setThreadCount(3);
  const LevelResults three = runLevel();
  EXPECT_EQ(one.taper, three.taper);
  EXPECT_EQ(one.gradientPower, three.gradientPower);
  EXPECT_EQ(one.coherence, three.coherence);
  EXPECT_EQ(one.kernel, three.kernel);
  EXPECT_EQ(one.latent, three.latent);
  EXPECT_EQ(one.filtered, three.filtered);
}

}  // namespace
}  // namespace kestrel
