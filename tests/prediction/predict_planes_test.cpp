#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "prediction/prediction_engine.h"
#include "tests/prediction/test_scenes.h"

namespace kestrel {
namespace {

using testing::blurredScene;
using testing::smallestOverBins;

constexpr int kSize = 64;
constexpr size_t kPlaneSize = static_cast<size_t>(kSize) * kSize;

PredictionParams planeParams(const std::vector<double>& latent, int planes) {
  PredictionParams params;
  params.latent = latent.data();
  params.width = kSize;
  params.height = kSize;
  params.planes = planes;
  params.kernelWidth = 5;
  params.kernelHeight = 3;
  return params;
}

std::vector<double> stacked(const std::vector<std::vector<double>>& planes) {
  std::vector<double> all;
  for (const std::vector<double>& p : planes) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(PredictPlanes, ClearsTheSamePixelsAsPredictForOnePlaneAndAFixedThreshold) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 41);
  const std::vector<double> map(kPlaneSize, 0.7);
  PredictionParams params = planeParams(latent, 1);
  params.gradThreshold[0] = 0.01;
  params.coherenceThreshold = 0.0;

  CImageMyPredictionEngine single;
  single.init(params, map.data(), 1.0);
  single.predict();
  CImageMyPredictionEngine planes;
  planes.init(params);
  planes.predictPlanes();

  EXPECT_EQ(planes.gradX, single.gradX);
  EXPECT_EQ(planes.gradY, single.gradY);
  EXPECT_EQ(planes.gradThreshold[0], single.gradThreshold[0]);
  EXPECT_EQ(planes.sigma, single.sigma);
  EXPECT_EQ(planes.shockStep, single.shockStep);
  int kept = 0;
  for (double g : planes.gradX) kept += g != 0.0;
  EXPECT_GT(kept, 0);
}

TEST(PredictPlanes, DerivesEachThresholdFromQuadrantBinsOfItsOwnPlane) {
  const std::vector<double> scene = blurredScene(kSize, kSize, 42);
  std::vector<double> faint(kPlaneSize);
  for (size_t i = 0; i < kPlaneSize; ++i) faint[i] = 0.4 + 0.2 * scene[i];
  const std::vector<double> latent = stacked({scene, faint, blurredScene(kSize, kSize, 43)});

  CImageMyPredictionEngine engine;
  engine.init(planeParams(latent, 3));
  engine.predictPlanes();
  ASSERT_EQ(engine.gradX.size(), 3 * kPlaneSize);
  EXPECT_LT(engine.gradThreshold[1], engine.gradThreshold[0]) << "weaker edges, lower threshold";

  for (int p = 0; p < 3; ++p) {
    const std::vector<double> plane(latent.begin() + p * kPlaneSize,
                                    latent.begin() + (p + 1) * kPlaneSize);
    // The plane alone, once with its threshold derived and once with a fixed
    // threshold that clears only exact zeros, for the reference bins.
    CImageMyPredictionEngine alone;
    alone.init(planeParams(plane, 1));
    alone.predictPlanes();
    EXPECT_EQ(alone.gradThreshold[0], engine.gradThreshold[p]) << p;
    EXPECT_TRUE(
        std::equal(alone.gradX.begin(), alone.gradX.end(), engine.gradX.begin() + p * kPlaneSize))
        << p;

    PredictionParams fixed = planeParams(plane, 1);
    fixed.gradThreshold[0] = 1e-300;
    CImageMyPredictionEngine raw;
    raw.init(fixed);
    raw.predictPlanes();
    std::vector<double> magnitude(kPlaneSize);
    std::vector<int> quadrant(kPlaneSize);
    for (size_t i = 0; i < kPlaneSize; ++i) {
      magnitude[i] = std::sqrt(raw.gradX[i] * raw.gradX[i] + raw.gradY[i] * raw.gradY[i]);
      const double phi = std::atan2(raw.gradY[i], raw.gradX[i]);
      quadrant[i] = phi < -M_PI / 2 ? 0 : phi < 0 ? 1 : phi < M_PI / 2 ? 2 : 3;
    }
    const int k = 2 * 5;
    EXPECT_EQ(engine.gradThreshold[p], smallestOverBins(magnitude, quadrant, k) * 0.9) << p;
  }
}

TEST(PredictPlanes, LeavesTheCoherenceMembersAndUnusedThresholdsAlone) {
  const std::vector<double> latent = blurredScene(kSize, kSize, 44);
  const std::vector<double> map(kPlaneSize, 0.5);
  PredictionParams params = planeParams(latent, 1);
  params.coherenceThreshold = -100.0;
  CImageMyPredictionEngine engine;
  engine.init(params, map.data(), 3.0);

  params.coherenceThreshold = 0.25;
  params.gradThreshold[1] = 7.0;
  params.gradThreshold[2] = 8.0;
  engine.init(params);
  EXPECT_EQ(engine.coherenceThreshold, -100.0) << "the short init keeps it";
  engine.predictPlanes();
  EXPECT_EQ(engine.coherenceThreshold, -100.0);
  EXPECT_EQ(engine.coherenceMap, map.data());
  EXPECT_EQ(engine.weight, 3.0);
  EXPECT_EQ(engine.gradThreshold[1], 7.0);
  EXPECT_EQ(engine.gradThreshold[2], 8.0);
  EXPECT_GT(engine.gradThreshold[0], 0.0);
  EXPECT_EQ(engine.sigma, 2.0 * 0.9);
  EXPECT_EQ(engine.shockStep, 0.9);
}

}  // namespace
}  // namespace kestrel
