// Prediction and shock filtering give the same bits whatever the number of
// threads their loops are split over.
#include <gtest/gtest.h>

#include <vector>

#include "parallel/parallel.h"
#include "prediction/prediction_engine.h"
#include "prediction/shock_filter.h"
#include "tests/prediction/test_scenes.h"

namespace kestrel {
namespace {

// Enough pixels and rows for every per-pixel and per-row loop to be split
// three ways.
constexpr int kWidth = 230;
constexpr int kHeight = 260;

class ThreadCount : public ::testing::Test {
 protected:
  void TearDown() override { setThreadCount(defaultThreadCount()); }
};

struct Prediction {
  std::vector<double> gradX, gradY, mask, shocked;
  double gradThreshold = 0.0;
  double coherenceThreshold = 0.0;
};

// Two predictions of a level: the first derives both thresholds, the second
// uses the decayed ones.
Prediction predictTwice() {
  const std::vector<double> latent = testing::blurredScene(kWidth, kHeight, 5u);
  const std::vector<double> map = testing::uniformPlane(latent.size(), 0.0, 0.2, 6u);
  PredictionParams params;
  params.latent = latent.data();
  params.width = kWidth;
  params.height = kHeight;
  params.kernelWidth = 9;
  params.kernelHeight = 9;
  CImageMyPredictionEngine engine;
  Prediction result;
  for (int k = 0; k < 2; ++k) {
    engine.init(params, map.data(), 0.7);
    engine.predict();
    params.sigma = engine.sigma;
    params.gradThreshold[0] = engine.gradThreshold[0];
    params.shockStep = engine.shockStep;
    params.coherenceThreshold = engine.coherenceThreshold;
  }
  result.gradX = engine.gradX;
  result.gradY = engine.gradY;
  result.gradThreshold = engine.gradThreshold[0];
  result.coherenceThreshold = engine.coherenceThreshold;
  result.mask.resize(latent.size());
  engine.computeCoherenceMask(result.mask.data());
  result.shocked.resize(latent.size());
  shockFilter(latent.data(), result.shocked.data(), kWidth, kHeight, 3, 0.8, 1.0);
  return result;
}

TEST_F(ThreadCount, ChangesNoBitOfThePrediction) {
  setThreadCount(1);
  const Prediction one = predictTwice();
  setThreadCount(3);
  const Prediction three = predictTwice();
  EXPECT_EQ(one.gradX, three.gradX);
  EXPECT_EQ(one.gradY, three.gradY);
  EXPECT_EQ(one.mask, three.mask);
  EXPECT_EQ(one.shocked, three.shocked);
  EXPECT_EQ(one.gradThreshold, three.gradThreshold);
  EXPECT_EQ(one.coherenceThreshold, three.coherenceThreshold);
}

}  // namespace
}  // namespace kestrel
