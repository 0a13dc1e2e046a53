#include "deconv/tv_deconvolution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "tests/deconv/test_planes.h"

namespace kestrel {
namespace {

using testing::firstWeightWithAnEleventhStep;
using testing::randomPlane;
using testing::shakeKernel;

// beta = 1/Q with Q = 1/mu halved exactly: beta/mu is 2^m within a few ulps.
constexpr double kScheduleTolerance = 1e-12;

// The planes of a small problem; the routines only need something to
// iterate on when the schedule is under test.
struct Problem {
  int rows = 30, cols = 34, side = 5;
  std::vector<double> y = randomPlane(30, 34, 12);
  std::vector<double> kernel = shakeKernel(5);
  std::vector<double> x = std::vector<double>(30 * 34);
};

IterationLog runTv(double lambda, int d) {
  Problem p;
  IterationLog log;
  EXPECT_TRUE(tvDeconvolve(p.y.data(), p.x.data(), p.kernel.data(), p.rows, p.cols, p.side, p.side,
                           lambda, d, &log));
  return log;
}

IterationLog runSingle(double lambda) {
  Problem p;
  IterationLog log;
  EXPECT_TRUE(singleTvDeconvolve(p.y.data(), p.x.data(), p.kernel.data(), p.rows, p.cols, p.side,
                                 p.side, lambda, &log));
  return log;
}

std::map<int, int> stepsPerSolve(const IterationLog& log) {
  std::map<int, int> steps;
  for (const IterationRecord& r : log) ++steps[r.solve];
  return steps;
}

// Within one solve: beta doubles from mu, the threshold halves from 1 and
// the image step couples with beta itself.
void expectDoublingSchedule(const IterationLog& log, int solve, double mu) {
  int m = 0;
  for (const IterationRecord& r : log) {
    if (r.solve != solve) continue;
    const double power = std::ldexp(1.0, m);
    EXPECT_NEAR(r.beta / mu, power, kScheduleTolerance * power) << "step " << m;
    EXPECT_NEAR(r.threshold, 1.0 / power, kScheduleTolerance / power) << "step " << m;
    EXPECT_EQ(r.weight, r.beta) << "step " << m;
    ++m;
  }
}

TEST(TvDeconvolve, RunsTenStepsInEachSolveWithTheDefaultWeights) {
  const IterationLog log = runTv(0.0002, 10);
  EXPECT_EQ(stepsPerSolve(log), (std::map<int, int>{{0, 10}, {1, 10}}));
  expectDoublingSchedule(log, 0, 0.0002);
  expectDoublingSchedule(log, 1, 0.002);
  EXPECT_NEAR(log[9].beta, 0.1024, 0.1024 * kScheduleTolerance);
  EXPECT_NEAR(log[19].beta, 1.024, 1.024 * kScheduleTolerance);
}

TEST(TvDeconvolve, StopsOncePenaltyWouldPassAHundred) {
  const IterationLog log = runTv(0.5, 0);
  EXPECT_EQ(stepsPerSolve(log), (std::map<int, int>{{0, 8}}));
  expectDoublingSchedule(log, 0, 0.5);
  EXPECT_NEAR(log.back().beta, 64.0, 64.0 * kScheduleTolerance);
}

TEST(TvDeconvolve, MakesNoSecondSolveWithoutDeringing) {
  for (int d : {-3, 0, 1})
    EXPECT_EQ(stepsPerSolve(runTv(0.0002, d)), (std::map<int, int>{{0, 10}}));
}

TEST(TvDeconvolve, RunsAnEleventhStepWhereTheRoundedRatioFallsBelow1024) {
  const double mu = firstWeightWithAnEleventhStep();
  ASSERT_GT(mu, 1e-4);
  EXPECT_EQ(stepsPerSolve(runTv(mu, 0)), (std::map<int, int>{{0, 11}})) << mu;
  const double previous = std::round(mu / 1e-4 - 1.0) * 1e-4;
  EXPECT_EQ(stepsPerSolve(runTv(previous, 0)), (std::map<int, int>{{0, 10}})) << previous;
}

TEST(TvDeconvolve, RunsNothingForWeightsAboveAHundredOrWithoutAFiniteReciprocal) {
  for (double lambda : {150.0, 0.0, 4e-320, -1.0}) {
    Problem p;
    IterationLog log;
    ASSERT_TRUE(tvDeconvolve(p.y.data(), p.x.data(), p.kernel.data(), p.rows, p.cols, p.side,
                             p.side, lambda, 10, &log));
    EXPECT_TRUE(log.empty()) << lambda;
    EXPECT_EQ(p.x, p.y) << lambda;
  }
}

TEST(SingleTvDeconvolve, RunsNineteenStepsForTheDefaultWeightAndThirteenForTwoHundredths) {
  const IterationLog first = runSingle(0.0002);
  EXPECT_EQ(stepsPerSolve(first), (std::map<int, int>{{0, 19}}));
  expectDoublingSchedule(first, 0, 0.0002);
  EXPECT_NEAR(first.back().beta, 52.4288, 52.4288 * kScheduleTolerance);
  const IterationLog second = runSingle(0.02);
  EXPECT_EQ(stepsPerSolve(second), (std::map<int, int>{{0, 13}}));
  expectDoublingSchedule(second, 0, 0.02);
}

TEST(SingleTvDeconvolve, RunsNothingForWeightsAboveAHundredOrWithoutAFiniteReciprocal) {
  for (double lambda : {150.0, 0.0, 4e-320}) {
    Problem p;
    IterationLog log;
    ASSERT_TRUE(singleTvDeconvolve(p.y.data(), p.x.data(), p.kernel.data(), p.rows, p.cols, p.side,
                                   p.side, lambda, &log));
    EXPECT_TRUE(log.empty()) << lambda;
    EXPECT_EQ(p.x, p.y) << lambda;
  }
}

}  // namespace
}  // namespace kestrel
