#include "deconv/l1_tv_deconvolution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "tests/deconv/test_planes.h"

namespace kestrel {
namespace {

using testing::firstWeightWithAnEleventhStep;
using testing::randomPlane;
using testing::shakeKernel;

// beta = 1/Q and the coupling weight t/Q are a few roundings away from
// mu 2^m and t mu 2^m.
constexpr double kScheduleTolerance = 1e-12;

struct L1Run {
  std::vector<double> y = randomPlane(26, 30, 31);
  std::vector<double> x = std::vector<double>(26 * 30);
  IterationLog log;
  bool result = false;
};

L1Run runL1(double lambda, int d, int side = 5) {
  L1Run run;
  const std::vector<double> kernel = shakeKernel(side);
  run.result = l1TvDeconvolve(run.y.data(), run.x.data(), kernel.data(), 26, 30, side, side, lambda,
                              d, &run.log);
  return run;
}

// Steps per (solve, outer round).
std::map<std::pair<int, int>, int> stepsPerRound(const IterationLog& log) {
  std::map<std::pair<int, int>, int> steps;
  for (const IterationRecord& r : log) ++steps[{r.solve, r.outer}];
  return steps;
}

std::map<std::pair<int, int>, int> rounds(int solves, int steps) {
  std::map<std::pair<int, int>, int> expected;
  for (int solve = 0; solve < solves; ++solve)
    for (int outer = 0; outer < 5; ++outer) expected[{solve, outer}] = steps;
  return expected;
}

TEST(L1TvDeconvolve, RunsFiveRoundsOfTenAndThenOfNineStepsWithTheDefaultWeights) {
  const L1Run run = runL1(0.02, 10);
  ASSERT_TRUE(run.result);
  std::map<std::pair<int, int>, int> expected = rounds(2, 10);
  for (int outer = 0; outer < 5; ++outer) expected[{1, outer}] = 9;
  EXPECT_EQ(stepsPerRound(run.log), expected);
}

// In round r the data threshold is t = 3^-r; within it beta doubles from
// mu, the gradient threshold halves from 1 and the coupling weight is t beta.
TEST(L1TvDeconvolve, FollowsTheThresholdAndPenaltySchedule) {
  const L1Run run = runL1(0.02, 10);
  std::map<std::pair<int, int>, int> seen;
  for (const IterationRecord& r : run.log) {
    const double mu = r.solve == 0 ? 0.02 : 0.2;
    const double t = std::pow(3.0, -r.outer);
    const double power = std::ldexp(1.0, seen[{r.solve, r.outer}]++);
    EXPECT_NEAR(r.beta, mu * power, kScheduleTolerance * mu * power);
    EXPECT_NEAR(r.threshold, 1.0 / power, kScheduleTolerance / power);
    EXPECT_NEAR(r.weight, t * r.beta, kScheduleTolerance * t * r.beta);
  }
  EXPECT_NEAR(run.log[9].beta, 10.24, 10.24 * kScheduleTolerance);
}

TEST(L1TvDeconvolve, MakesNoSecondSolveWithoutDeringing) {
  for (int d : {0, 1}) EXPECT_EQ(stepsPerRound(runL1(0.02, d).log), rounds(1, 10)) << d;
}

TEST(L1TvDeconvolve, RunsAnEleventhStepWhereTheRoundedRatioFallsBelow1024) {
  const double mu = firstWeightWithAnEleventhStep();
  ASSERT_GT(mu, 0.0);
  EXPECT_EQ(stepsPerRound(runL1(mu, 0).log), rounds(1, 11)) << mu;
}

TEST(L1TvDeconvolve, LeavesThePlaneAloneForWeightsAboveAHundred) {
  for (int d : {0, 10}) {
    const L1Run run = runL1(150.0, d);
    ASSERT_TRUE(run.result);
    EXPECT_TRUE(run.log.empty());
    EXPECT_EQ(run.x, run.y) << d;
  }
}

}  // namespace
}  // namespace kestrel
