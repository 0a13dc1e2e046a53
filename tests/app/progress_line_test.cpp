#include "app/progress_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

DeblurProgress report(DeblurProgress::Stage stage, double done) {
  DeblurProgress progress;
  progress.stage = stage;
  progress.level = 2;
  progress.levels = 6;
  progress.iteration = 3;
  progress.iterations = 10;
  progress.plane = 2;
  progress.planes = 3;
  progress.done = done;
  return progress;
}

TEST(ShareDone, RisesThroughTheStagesOfARunFromNothingToNearlyAll) {
  using Stage = DeblurProgress::Stage;
  for (const bool sparse : {false, true}) {
    for (const bool measures : {false, true}) {
      const StageWeights weights = blindStageWeights(sparse, measures);
      std::vector<DeblurProgress> run;
      if (measures) {
        for (double done : {0.0, 0.5, 0.99}) run.push_back(report(Stage::SizeMeasurement, done));
      }
      for (double done : {0.0, 0.3, 0.9}) run.push_back(report(Stage::KernelEstimation, done));
      run.push_back(report(Stage::Padding, 0.0));
      for (double done : {0.0, 1.0 / 3, 2.0 / 3}) run.push_back(report(Stage::Deconvolution, done));
      EXPECT_EQ(shareDone(run.front(), weights), 0.0);
      for (std::size_t i = 1; i < run.size(); ++i) {
        EXPECT_GT(shareDone(run[i], weights), shareDone(run[i - 1], weights)) << i;
      }
      EXPECT_LT(shareDone(run.back(), weights), 1.0);
    }
  }
}

TEST(ShareDone, WeighsEachStageByItsShareOfTheTime) {
  StageWeights weights;
  weights.kernelEstimation = 2.0;
  weights.padding = 1.0;
  weights.deconvolution = 1.0;
  EXPECT_DOUBLE_EQ(shareDone(report(DeblurProgress::Stage::KernelEstimation, 0.5), weights), 0.25);
  EXPECT_DOUBLE_EQ(shareDone(report(DeblurProgress::Stage::Padding, 0.0), weights), 0.5);
  EXPECT_DOUBLE_EQ(shareDone(report(DeblurProgress::Stage::Deconvolution, 0.5), weights), 0.875);
}

TEST(DescribeProgress, ShowsTheBarTheTimesAndTheStage) {
  const DeblurProgress estimating = report(DeblurProgress::Stage::KernelEstimation, 0.0);
  EXPECT_EQ(describeProgress(estimating, 0.25, 10.0, 200),
            "[####------------] 25% 10 s, 30 s left: estimating the kernel, level 2/6, "
            "iteration 3/10");
  EXPECT_EQ(describeProgress(report(DeblurProgress::Stage::Deconvolution, 0.0), 1.0, 4.0, 200),
            "[################] 100% 4 s, 0 s left: deconvolving plane 2/3");
}

TEST(DescribeProgress, GuessesNoTimeLeftTooEarlyAndNeverWrapsTheTerminal) {
  const DeblurProgress estimating = report(DeblurProgress::Stage::SizeMeasurement, 0.0);
  const std::string early = describeProgress(estimating, 0.01, 20.0, 200);
  EXPECT_EQ(early.find("left"), std::string::npos) << early;
  const std::string quick = describeProgress(estimating, 0.5, 0.4, 200);
  EXPECT_EQ(quick.find("left"), std::string::npos) << quick;
  EXPECT_NE(quick.find("measuring the kernel size"), std::string::npos) << quick;
  EXPECT_EQ(describeProgress(estimating, 0.5, 30.0, 40).size(), 39u);
}

}  // namespace
}  // namespace kestrel
