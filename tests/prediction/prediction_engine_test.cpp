#include "prediction/prediction_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fourier/filter2d.h"
#include "prediction/filter_kernels.h"
#include "prediction/shock_filter.h"
#include "tests/prediction/test_scenes.h"

namespace kestrel {
namespace {

using testing::blurredScene;
using testing::kthLargestBySort;
using testing::smallestOverBins;
using testing::uniformPlane;

constexpr int kSize = 64;
constexpr size_t kCount = static_cast<size_t>(kSize) * kSize;
// Positive and below every non-zero gradient magnitude: a fixed threshold
// that clears only exact zeros.
constexpr double kTinyThreshold = 1e-300;

// pi rounded to single precision; orientations are folded with it.
const double kSinglePi = static_cast<double>(static_cast<float>(M_PI));

PredictionParams levelParams(const std::vector<double>& latent) {
  PredictionParams params;
  params.latent = latent.data();
  params.width = kSize;
  params.height = kSize;
  params.kernelWidth = 3;
  params.kernelHeight = 3;
  return params;
}

std::vector<int> foldedBins(const std::vector<double>& gx, const std::vector<double>& gy) {
  std::vector<int> bins(gx.size());
  for (size_t i = 0; i < gx.size(); ++i) {
    double theta = std::atan2(gy[i], gx[i]);
    if (theta < 0) theta += kSinglePi;
    bins[i] = theta < kSinglePi / 4       ? 0
              : theta < kSinglePi / 2     ? 1
              : theta < 3 * kSinglePi / 4 ? 2
                                          : 3;
  }
  return bins;
}

std::vector<double> magnitudes(const std::vector<double>& gx, const std::vector<double>& gy) {
  std::vector<double> m(gx.size());
  for (size_t i = 0; i < gx.size(); ++i) m[i] = std::sqrt(gx[i] * gx[i] + gy[i] * gy[i]);
  return m;
}

// The coherence threshold derived by sorting, before the 0.05 ceiling.
double referenceCoherenceThreshold(const std::vector<double>& latent, int width, int height,
                                   const std::vector<double>& map, int k) {
  std::vector<int> bins(latent.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double dx = x + 1 < width ? latent[y * width + x + 1] - latent[y * width + x] : 0.0;
      const double dy = y + 1 < height ? latent[(y + 1) * width + x] - latent[y * width + x] : 0.0;
      const double phi = std::atan2(dy, dx);
      bins[y * width + x] = phi < -1.5708 ? 0 : phi < 0 ? 1 : phi < 1.5708 ? 2 : 3;
    }
  }
  return smallestOverBins(map, bins, k);
}

// The coherence rank for a width x height picture and a 3x3 kernel.
int coherenceRank(int width, int height, double weight) {
  return static_cast<int>(std::sqrt(width * height / 9.0) * weight * 9 + 0.5);
}

struct Prediction {
  std::vector<double> gx;
  std::vector<double> gy;
  double gradThreshold;
};

// One prediction of a fresh engine with a mask that passes everything.
Prediction predictUnmasked(const std::vector<double>& latent, const std::vector<double>& map,
                           double gradThreshold) {
  PredictionParams params = levelParams(latent);
  params.gradThreshold[0] = gradThreshold;
  params.coherenceThreshold = 0.0;
  CImageMyPredictionEngine engine;
  engine.init(params, map.data(), 1.0);
  engine.predict();
  return {engine.gradX, engine.gradY, engine.gradThreshold[0]};
}

TEST(PredictionEngine, LastColumnOfGradXAndLastRowOfGradYAreZero) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 1);
  const std::vector<double> map = uniformPlane(kCount, 0.0, 0.1, 2);
  for (double threshold : {-1.0, kTinyThreshold}) {
    CImageMyPredictionEngine engine;
    PredictionParams params = levelParams(latent);
    params.gradThreshold[0] = threshold;
    engine.init(params, map.data(), 1.0);
    engine.predict();
    ASSERT_EQ(engine.gradX.size(), kCount);
    ASSERT_EQ(engine.gradY.size(), kCount);
    int kept = 0;
    for (int i = 0; i < kSize; ++i) {
      EXPECT_EQ(engine.gradX[i * kSize + kSize - 1], 0.0);
      EXPECT_EQ(engine.gradY[(kSize - 1) * kSize + i], 0.0);
    }
    for (size_t i = 0; i < kCount; ++i) kept += engine.gradX[i] != 0.0;
    EXPECT_GT(kept, 0) << "the picture has edges that survive";
  }
}

TEST(PredictionEngine, ClearsAPixelWhoseMagnitudeEqualsTheThresholdAndKeepsStrongerOnes) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 3);
  const std::vector<double> map(kCount, 1.0);
  const Prediction all = predictUnmasked(latent, map, kTinyThreshold);
  const std::vector<double> m = magnitudes(all.gx, all.gy);
  std::vector<double> sorted = m;
  std::sort(sorted.begin(), sorted.end());
  const double threshold = sorted[kCount * 3 / 4];
  ASSERT_GT(threshold, 0.0);

  const Prediction cut = predictUnmasked(latent, map, threshold);
  int atThreshold = 0;
  int kept = 0;
  for (size_t i = 0; i < kCount; ++i) {
    if (m[i] <= threshold) {
      atThreshold += m[i] == threshold;
      EXPECT_EQ(cut.gx[i], 0.0) << i;
      EXPECT_EQ(cut.gy[i], 0.0) << i;
    } else {
      ++kept;
      EXPECT_EQ(cut.gx[i], all.gx[i]) << i;
      EXPECT_EQ(cut.gy[i], all.gy[i]) << i;
    }
  }
  EXPECT_GE(atThreshold, 1);
  EXPECT_GT(kept, 0);
}

TEST(PredictionEngine, ClearsPixelsOutsideTheMaskWithoutScalingTheOthers) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 4);
  std::vector<double> map(kCount, 1.0);
  for (int y = 0; y < kSize; ++y)
    for (int x = kSize / 2; x < kSize; ++x) map[y * kSize + x] = 0.2;
  const Prediction all = predictUnmasked(latent, map, kTinyThreshold);

  PredictionParams params = levelParams(latent);
  params.gradThreshold[0] = kTinyThreshold;
  params.coherenceThreshold = 0.5;
  CImageMyPredictionEngine engine;
  engine.init(params, map.data(), 1.0);
  engine.predict();
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const size_t i = y * kSize + x;
      const bool inside = x < kSize / 2;
      EXPECT_EQ(engine.gradX[i], inside ? all.gx[i] : 0.0) << x << "," << y;
      EXPECT_EQ(engine.gradY[i], inside ? all.gy[i] : 0.0) << x << "," << y;
    }
  }
}

TEST(PredictionEngine, DerivesTheGradientThresholdFromFoldedOrientationBins) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 5);
  const std::vector<double> map(kCount, 1.0);
  const Prediction all = predictUnmasked(latent, map, kTinyThreshold);
  const double expected =
      smallestOverBins(magnitudes(all.gx, all.gy), foldedBins(all.gx, all.gy), 2 * 3);
  ASSERT_GT(expected, 0.0);

  for (double request : {-1.0, 0.0}) {
    const Prediction derived = predictUnmasked(latent, map, request);
    EXPECT_EQ(derived.gradThreshold, expected * 0.9) << "request " << request;
    EXPECT_EQ(derived.gx, predictUnmasked(latent, map, expected).gx);
  }
}

TEST(PredictionEngine, UsesTheValuesPresentAtTheStartOfEachPrediction) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 6);
  const std::vector<double> map(kCount, 1.0);
  PredictionParams params = levelParams(latent);
  params.gradThreshold[0] = kTinyThreshold;
  params.coherenceThreshold = 0.0;
  CImageMyPredictionEngine engine;
  engine.init(params, map.data(), 1.0);

  // The same stages run by hand: smoothing with sigma, one shock step of
  // shockStep, forward differences.
  const auto byHand = [&](double sigma, double step) {
    const std::vector<double> gaussian = makeGaussianKernel(5, 5, sigma);
    std::vector<double> smoothed(kCount);
    std::vector<double> shocked(kCount);
    FilterParams smoothing;
    smoothing.input = latent.data();
    smoothing.output = smoothed.data();
    smoothing.width = kSize;
    smoothing.height = kSize;
    smoothing.kernel = gaussian.data();
    smoothing.kernelWidth = 5;
    smoothing.kernelHeight = 5;
    smoothing.boundaryMode = kBoundaryZero;
    smoothing.filterMode = kFilterConvolution;
    filter2D(smoothing);
    shockFilter(smoothed.data(), shocked.data(), kSize, kSize, 1, step, 1.0);
    std::vector<double> gx(kCount, 0.0);
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x + 1 < kSize; ++x)
        gx[y * kSize + x] = shocked[y * kSize + x + 1] - shocked[y * kSize + x];
    return gx;
  };

  engine.predict();
  EXPECT_EQ(engine.gradX, byHand(2.0, 1.0));
  EXPECT_EQ(engine.sigma, 2.0 * 0.9);
  EXPECT_EQ(engine.shockStep, 0.9);

  // A second prediction without init runs on the decayed values.
  engine.predict();
  EXPECT_EQ(engine.gradX, byHand(2.0 * 0.9, 0.9));
  EXPECT_EQ(engine.sigma, 2.0 * 0.9 * 0.9);
  EXPECT_EQ(engine.shockStep, 0.9 * 0.9);
  EXPECT_EQ(engine.gradThreshold[0], kTinyThreshold * 0.9 * 0.9);
}

TEST(PredictionEngine, ASecondPredictionDerivesNothingAlreadyDerived) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 7);
  const std::vector<double> map = uniformPlane(kCount, 0.0, 0.04, 8);
  CImageMyPredictionEngine engine;
  engine.init(levelParams(latent), map.data(), 1.0);
  engine.predict();
  const double gradThreshold = engine.gradThreshold[0];
  const double coherenceThreshold = engine.coherenceThreshold;
  ASSERT_GT(gradThreshold, 0.0);
  ASSERT_GT(coherenceThreshold, 0.0);
  engine.predict();
  EXPECT_EQ(engine.gradThreshold[0], gradThreshold * 0.9);
  EXPECT_EQ(engine.coherenceThreshold, coherenceThreshold * 0.7);
}

TEST(PredictionEngine, FollowsTheLevelScheduleWhenTheDriverFeedsTheRecordBack) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 9);
  const std::vector<double> map = uniformPlane(kCount, 0.0, 0.04, 10);
  const double weight = 1.0;
  const double mu0 =
      referenceCoherenceThreshold(latent, kSize, kSize, map, coherenceRank(kSize, kSize, weight));
  ASSERT_LT(mu0, 0.05);

  PredictionParams record = levelParams(latent);
  CImageMyPredictionEngine engine;
  double sigma = 2.0;
  double step = 1.0;
  double coherence = mu0;  // the threshold the mask of iteration t uses
  double gradThreshold = 0.0;
  for (int t = 0; t < 8; ++t) {
    EXPECT_EQ(record.sigma, sigma) << t;
    EXPECT_EQ(record.shockStep, step) << t;

    record.latent = latent.data();
    engine.init(record, map.data(), weight);
    engine.predict();

    // Derived once, then only decayed.
    if (t == 0) {
      ASSERT_GT(engine.gradThreshold[0], 0.0);
    } else {
      EXPECT_EQ(engine.gradThreshold[0], gradThreshold * 0.9) << t;
    }
    gradThreshold = engine.gradThreshold[0];
    EXPECT_EQ(engine.coherenceThreshold, coherence * 0.7) << t;

    record.sigma = engine.sigma;
    record.gradThreshold[0] = engine.gradThreshold[0];
    record.shockStep = engine.shockStep;
    record.coherenceThreshold = t <= 3 ? engine.coherenceThreshold : 0.0;

    sigma *= 0.9;
    step *= 0.9;
    coherence = t <= 3 ? coherence * 0.7 : 0.0;
  }
}

TEST(CoherenceMask, PassesAPixelWhoseCoherenceEqualsTheThreshold) {
  const std::vector<double> latent(6, 0.0);
  const std::vector<double> map = {0.3, std::nextafter(0.3, 0.0), 0.31, NAN, 0.0, 5.0};
  PredictionParams params;
  params.latent = latent.data();
  params.width = 3;
  params.height = 2;
  params.coherenceThreshold = 0.3;
  CImageMyPredictionEngine engine;
  engine.init(params, map.data(), 1.0);
  std::vector<double> mask(6, -1.0);
  engine.computeCoherenceMask(mask.data());
  EXPECT_EQ(mask, (std::vector<double>{1, 0, 1, 0, 0, 1}));
  EXPECT_EQ(engine.coherenceThreshold, 0.3);
}

// A 16x16 engine over a borrowed latent and map, with a 3x3 kernel.
struct SmallEngine {
  static constexpr int kSide = 16;
  std::vector<double> latent = std::vector<double>(kSide * kSide, 0.5);
  std::vector<double> map = std::vector<double>(kSide * kSide, 0.0);
  std::vector<double> mask = std::vector<double>(kSide * kSide, -1.0);
  CImageMyPredictionEngine engine;

  double derive(double weight, double request = -100.0) {
    PredictionParams params;
    params.latent = latent.data();
    params.width = kSide;
    params.height = kSide;
    params.kernelWidth = 3;
    params.kernelHeight = 3;
    params.coherenceThreshold = request;
    engine.init(params, map.data(), weight);
    engine.computeCoherenceMask(mask.data());
    return engine.coherenceThreshold;
  }
};

TEST(CoherenceMask, UsesADerivedThresholdBelowTheCeilingAsItIs) {
  // A flat latent puts every pixel into one orientation bin.
  SmallEngine small;
  small.map = uniformPlane(small.map.size(), 0.0, 0.04, 12);
  const int k = coherenceRank(16, 16, 0.2);
  ASSERT_EQ(k, 10);
  EXPECT_EQ(small.derive(0.2), kthLargestBySort(small.map, k));
  for (size_t i = 0; i < small.map.size(); ++i) {
    EXPECT_EQ(small.mask[i], small.map[i] >= kthLargestBySort(small.map, k) ? 1.0 : 0.0);
  }
}

TEST(CoherenceMask, ReplacesADerivedThresholdAboveTheCeilingBy005) {
  SmallEngine small;
  small.map = uniformPlane(small.map.size(), 0.5, 1.0, 13);
  EXPECT_EQ(small.derive(0.2), 0.05);
  EXPECT_EQ(small.mask, std::vector<double>(small.map.size(), 1.0));
}

TEST(CoherenceMask, ABinWithFewerThanKValuesContributesItsSmallest) {
  // Three bright pixels each have dx < 0 and dy < 0 (angle -3/4 pi), the
  // only members of their bin. Their upper neighbours have an angle of
  // exactly pi/2, below the 1.5708 edge, and join the flat pixels' bin.
  SmallEngine small;
  small.map = uniformPlane(small.map.size(), 0.02, 0.04, 14);
  const int spikes[3][2] = {{3, 3}, {8, 9}, {12, 4}};
  const double spikeCoherence[3] = {0.012, 0.010, 0.015};
  for (int s = 0; s < 3; ++s) {
    const int x = spikes[s][0];
    const int y = spikes[s][1];
    small.latent[y * 16 + x] = 1.0;
    small.map[y * 16 + x] = spikeCoherence[s];
    small.map[(y - 1) * 16 + x] = 0.005;
  }
  EXPECT_EQ(small.derive(0.2), 0.010);
}

TEST(CoherenceMask, ARankBelowOneSelectsTheLargestValue) {
  SmallEngine small;
  small.map = uniformPlane(small.map.size(), 0.0, 0.04, 15);
  const double largest = *std::max_element(small.map.begin(), small.map.end());
  for (double weight : {0.0, 1e-6, -3.0, static_cast<double>(NAN)}) {
    EXPECT_EQ(small.derive(weight), largest) << weight;
  }
  // A rank past the pixel count selects the smallest.
  EXPECT_EQ(small.derive(1e30), *std::min_element(small.map.begin(), small.map.end()));
}

TEST(CoherenceMask, MinusTenIsNotARequestToDeriveButJustBelowIs) {
  SmallEngine small;
  small.map = uniformPlane(small.map.size(), 0.0, 0.04, 16);
  small.map[7] = -10.0;
  small.map[8] = -10.5;
  EXPECT_EQ(small.derive(0.2, -10.0), -10.0);
  for (size_t i = 0; i < small.map.size(); ++i) EXPECT_EQ(small.mask[i], i == 8 ? 0.0 : 1.0);
  EXPECT_GE(small.derive(0.2, std::nextafter(-10.0, -20.0)), 0.0);
}

TEST(PredictionEngine, APictureWithoutPixelsDerivesZeroThresholds) {
  PredictionParams params;
  params.width = 0;
  params.height = 0;
  params.kernelWidth = 3;
  params.kernelHeight = 3;
  CImageMyPredictionEngine engine;
  engine.init(params, nullptr, 1.0);
  engine.predict();
  EXPECT_TRUE(engine.gradX.empty());
  EXPECT_EQ(engine.gradThreshold[0], 0.0);
  EXPECT_EQ(engine.coherenceThreshold, 0.0);
}

TEST(SelectKthLargest, AgreesWithNthElementForEveryRankAndGivesTheSmallestPastTheEnd) {
  std::mt19937 random(23);
  for (int n = 1; n <= 40; ++n) {
    for (int trial = 0; trial < 3; ++trial) {
      // Few distinct values, so duplicates are common.
      std::uniform_int_distribution<int> digit(0, trial == 0 ? 1 : 6);
      std::vector<double> values(n);
      for (double& v : values) v = digit(random) * 0.5;
      for (int k = 1; k <= n + 2; ++k) {
        std::vector<double> expected = values;
        const int rank = std::min(k, n) - 1;
        std::nth_element(expected.begin(), expected.begin() + rank, expected.end(),
                         std::greater<double>());
        std::vector<double> work = values;
        EXPECT_EQ(CImageMyPredictionEngine::selectKthLargest(work.data(), 0, n - 1, k),
                  expected[rank])
            << "n " << n << " k " << k;
        std::sort(work.begin(), work.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(work, expected) << "values are only reordered";
      }
    }
  }
}

TEST(PartitionDescending, PlacesThePivotBetweenLargerAndSmallerValues) {
  std::mt19937 random(37);
  std::uniform_int_distribution<int> digit(0, 5);
  for (int n = 1; n <= 30; ++n) {
    for (int first = 0; first < n; first += 3) {
      std::vector<double> values(n);
      for (double& v : values) v = digit(random);
      const std::vector<double> before = values;
      const int last = n - 1 - (n - first) / 3;
      const int p = CImageMyPredictionEngine::partitionDescending(values.data(), first, last);
      ASSERT_GE(p, first);
      ASSERT_LE(p, last);
      EXPECT_EQ(values[p], before[first]);
      for (int i = first; i < p; ++i) EXPECT_GE(values[i], values[p]);
      for (int i = p + 1; i <= last; ++i) EXPECT_LE(values[i], values[p]);
      for (int i = 0; i < n; ++i) {
        if (i < first || i > last) {
          EXPECT_EQ(values[i], before[i]) << "outside the range";
        }
      }
      std::vector<double> a(values.begin() + first, values.begin() + last + 1);
      std::vector<double> b(before.begin() + first, before.begin() + last + 1);
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
      EXPECT_EQ(a, b);
    }
  }
}

}  // namespace
}  // namespace kestrel
