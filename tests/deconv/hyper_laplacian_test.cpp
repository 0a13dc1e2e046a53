#include "deconv/hyper_laplacian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "deconv/gradient_split.h"
#include "tests/deconv/test_planes.h"

namespace kestrel {
namespace {

using testing::randomPlane;
using testing::shakeKernel;

// The closed form uses constants rounded to seven decimals, which moves the
// root by up to about 1e-6 from the exact minimiser (measured 1.1e-6).
constexpr double kRootTolerance = 5e-6;
// A root 5e-6 away from the minimiser raises the energy by about
// beta/2 (5e-6)^2 times a small factor, far below this.
constexpr double kEnergyTolerance = 1e-8;
// The reference values are quoted to six significant digits.
constexpr double kQuotedTolerance = 5e-6;
// The search refines to about 1e-15 of v; its energy is that close to the
// least, which a root off by 1e-9 would already exceed by 1e-18 times beta.
constexpr double kSearchEnergyTolerance = 1e-12;
// The quartic's closed form and Newton's method on the stationarity
// condition both reach the root to a few ulps of v.
constexpr double kAgreementTolerance = 1e-12;
// One Newton step solves the linear condition of the exponent 1.
constexpr double kExactTolerance = 1e-15;
// Linear interpolation over intervals of 2.5e-4: the curvature of the
// minimiser near the threshold leaves errors of about 2e-6 (measured), far
// below an 8-bit step (0.0039).
constexpr double kTableTolerance = 1e-5;
// The schedule's penalties are products of sqrt 2 factors: a few ulps.
constexpr double kBetaTolerance = 1e-12;

const double kSqrt2 = std::sqrt(2.0);
const double kScheduleBetas[6] = {1.0, 2.0 * kSqrt2, 8.0, 16.0 * kSqrt2, 64.0, 128.0 * kSqrt2};

double cFor(double beta) { return -0.25 / beta / beta; }

double energy(double w, double v, double beta) {
  return std::sqrt(std::fabs(w)) + 0.5 * beta * (w - v) * (w - v);
}

double generalEnergy(double w, double v, double beta, double alpha) {
  return std::pow(std::fabs(w), alpha) + 0.5 * beta * (w - v) * (w - v);
}

// Minimiser of |w|^(1/2) + beta/2 (w - v)^2 found independently: the best
// of w = 0 and a ternary search over the convex stretch between 2v/3 and v
// (the energy is concave in w elsewhere on that side, so no other minimum).
double minimiser(double v, double beta) {
  double a = std::min(2.0 * v / 3.0, v), b = std::max(2.0 * v / 3.0, v);
  for (int k = 0; k < 100; ++k) {
    const double m1 = a + (b - a) / 3.0, m2 = b - (b - a) / 3.0;
    if (energy(m1, v, beta) < energy(m2, v, beta)) {
      b = m2;
    } else {
      a = m1;
    }
  }
  const double w = 0.5 * (a + b);
  return energy(w, v, beta) < energy(0.0, v, beta) ? w : 0.0;
}

TEST(HalfPowerRoot, MatchesTheQuotedValues) {
  EXPECT_EQ(halfPowerRoot(0.0, cFor(1.0)), 0.0);
  EXPECT_EQ(halfPowerRoot(1.0, cFor(1.0)), 0.0);
  EXPECT_NEAR(halfPowerRoot(2.0, cFor(1.0)), 1.60538, kQuotedTolerance);
  EXPECT_EQ(halfPowerRoot(0.3, cFor(8.0)), 0.0);
  EXPECT_NEAR(halfPowerRoot(0.5, cFor(8.0)), 0.401345, kQuotedTolerance);
  EXPECT_NEAR(halfPowerRoot(-2.0, cFor(1.0)), -1.60538, kQuotedTolerance);
}

TEST(HalfPowerRoot, IsZeroBelowTheThresholdAndBetweenTwoThirdsAndOneOfVAbove) {
  for (double beta : kScheduleBetas) {
    const double threshold = 1.5 * std::pow(beta, -2.0 / 3.0);
    for (int i = -3000; i <= 3000; ++i) {
      const double v = i * 0.005 + 0.0003;
      const double w = halfPowerRoot(v, cFor(beta));
      if (std::fabs(v) < 0.999 * threshold) {
        ASSERT_EQ(w, 0.0) << "v " << v << " beta " << beta;
      } else if (std::fabs(v) > 1.001 * threshold) {
        ASSERT_NE(w, 0.0) << "v " << v << " beta " << beta;
      }
      if (w != 0.0) {
        ASSERT_EQ(std::signbit(w), std::signbit(v)) << "v " << v << " beta " << beta;
        ASSERT_GT(std::fabs(w), 0.6666667 * std::fabs(v)) << "v " << v << " beta " << beta;
        ASSERT_LT(std::fabs(w), std::fabs(v)) << "v " << v << " beta " << beta;
      }
    }
  }
}

TEST(HalfPowerRoot, MinimisesTheSplitEnergyOfOneGradient) {
  for (double beta : kScheduleBetas) {
    for (int i = -1500; i <= 1500; ++i) {
      const double v = i * 0.01 + 0.00037;
      const double w = halfPowerRoot(v, cFor(beta));
      const double best = minimiser(v, beta);
      ASSERT_LE(energy(w, v, beta), energy(best, v, beta) + kEnergyTolerance)
          << "v " << v << " beta " << beta;
      if (w != 0.0 && best != 0.0) {
        ASSERT_NEAR(w, best, kRootTolerance) << "v " << v << " beta " << beta;
      }
    }
  }
}

TEST(HalfPowerShrink, LetsTheFirstValueOfABinDecideForTheRestOfTheCall) {
  const double beta = 2.0;
  const double c = cFor(beta);
  // 2.00001 and 2.00005 share bin 170000; 2.00015 lies in the next one.
  const std::vector<double> vh = {2.00001, 2.00005, 2.00015};
  const std::vector<double> vv = {2.00005, -3.0, 2.00001};
  std::vector<double> wh(3), wv(3);
  halfPowerShrink(vh.data(), vv.data(), wh.data(), wv.data(), 1, 3, beta, 0.5);
  const double first = halfPowerRoot(2.00001, c);
  ASSERT_NE(first, halfPowerRoot(2.00005, c));
  EXPECT_EQ(wh[0], first);
  EXPECT_EQ(wv[0], first);  // vertical after horizontal at the same index
  EXPECT_EQ(wh[1], first);
  EXPECT_EQ(wv[1], halfPowerRoot(-3.0, c));
  EXPECT_EQ(wh[2], halfPowerRoot(2.00015, c));
  EXPECT_EQ(wv[2], first);

  // The cache starts empty on every call: now 2.00005 comes first.
  const std::vector<double> reversed = {2.00005, 2.00001, 2.00001};
  halfPowerShrink(reversed.data(), reversed.data(), wh.data(), wv.data(), 1, 3, beta, 0.5);
  for (double w : {wh[0], wh[1], wh[2], wv[0], wv[1], wv[2]}) {
    EXPECT_EQ(w, halfPowerRoot(2.00005, c));
  }
}

TEST(HalfPowerShrink, SolvesValuesBeyondTheBinsOneByOne) {
  const double beta = 1.0;
  const double c = cFor(beta);
  const std::vector<double> vh = {20.00001, 20.00002, -15.0002, 1e300};
  const std::vector<double> vv = {-20.00001, -20.00002, 15.0002, -1e300};
  std::vector<double> wh(4), wv(4);
  halfPowerShrink(vh.data(), vv.data(), wh.data(), wv.data(), 2, 2, beta, 0.5);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(wh[i], halfPowerRoot(vh[i], c)) << i;
    EXPECT_EQ(wv[i], halfPowerRoot(vv[i], c)) << i;
  }
  EXPECT_NE(wh[0], wh[1]);
  EXPECT_NE(wv[0], wv[1]);
}

TEST(HalfPowerShrink, WritesNothingForOtherExponents) {
  const std::vector<double> v = {1.0, 2.0, 3.0, 4.0};
  std::vector<double> wh(4, 7.0), wv(4, 7.0);
  halfPowerShrink(v.data(), v.data(), wh.data(), wv.data(), 2, 2, 1.0, 0.8);
  EXPECT_EQ(wh, std::vector<double>(4, 7.0));
  EXPECT_EQ(wv, std::vector<double>(4, 7.0));
}

TEST(HyperLaplacianDeconvolve, RunsSixPenaltiesFromOneToAHundredAndEightyOne) {
  const int rows = 24, cols = 28;
  const std::vector<double> y = randomPlane(rows, cols, 2);
  const std::vector<double> kernel = shakeKernel(5);
  std::vector<double> x(y.size());
  IterationLog log;
  ASSERT_TRUE(hyperLaplacianDeconvolve(y.data(), x.data(), kernel.data(), rows, cols, 5, 5, 30000.0,
                                       0.5, &log));
  ASSERT_EQ(log.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(log[i].beta, kScheduleBetas[i], kBetaTolerance * kScheduleBetas[i]) << i;
    EXPECT_DOUBLE_EQ(log[i].weight, log[i].beta / 30000.0) << i;
  }
}

TEST(HyperLaplacianDeconvolve, RefusesExponentsOutsideZeroToOneAndNonPositiveWeightsSilently) {
  const int rows = 9, cols = 12;
  const std::vector<double> y = randomPlane(rows, cols, 4);
  const std::vector<double> kernel = shakeKernel(3);
  for (const auto& [lambda, alpha] :
       {std::pair{30000.0, 0.0}, std::pair{30000.0, -0.5}, std::pair{30000.0, 1.0000001},
        std::pair{30000.0, std::nan("")}, std::pair{0.0, 0.5}, std::pair{-5.0, 0.5}}) {
    std::vector<double> x(y.size(), -1.0);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(hyperLaplacianDeconvolve(y.data(), x.data(), kernel.data(), rows, cols, 3, 3,
                                          lambda, alpha));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << lambda << " " << alpha;
    EXPECT_EQ(x, y) << lambda << " " << alpha;
  }
  for (const double alpha : {0.05, 0.4999999, 0.8, 1.0}) {
    std::vector<double> x(y.size());
    EXPECT_TRUE(hyperLaplacianDeconvolve(y.data(), x.data(), kernel.data(), rows, cols, 3, 3,
                                         30000.0, alpha))
        << alpha;
  }
}

// Minimiser of |w|^alpha + beta/2 (w - v)^2 found without the stationarity
// condition: the best of w = 0 and a grid over (0, |v|], refined by ternary
// search between the best grid point's neighbours (where the energy has a
// single minimum once the grid is fine enough).
double searchedMinimiser(double v, double beta, double alpha) {
  const auto e = [&](double w) { return generalEnergy(w, std::fabs(v), beta, alpha); };
  const int steps = 4000;
  int best = steps;
  for (int i = 1; i <= steps; ++i) {
    if (e(std::fabs(v) * i / steps) < e(std::fabs(v) * best / steps)) best = i;
  }
  double a = std::fabs(v) * (best - 1) / steps;
  double b = std::fabs(v) * std::min(best + 1, steps) / steps;
  for (int k = 0; k < 200; ++k) {
    const double m1 = a + (b - a) / 3.0, m2 = b - (b - a) / 3.0;
    if (e(m1) < e(m2)) {
      b = m2;
    } else {
      a = m1;
    }
  }
  const double w = 0.5 * (a + b);
  if (!(e(w) < e(0.0))) return 0.0;
  return v < 0.0 ? -w : w;
}

TEST(TwoThirdsPowerRoot, MinimisesTheSplitEnergyAsTheNumericalSolutionDoes) {
  // Far beyond the threshold too, where the quartic's coefficients span
  // many orders of magnitude.
  for (double beta : kScheduleBetas) {
    for (int i = -200; i <= 200; ++i) {
      const double v = i * 0.02 + 0.00037;
      const double w = twoThirdsPowerRoot(v, beta);
      const double best = searchedMinimiser(v, beta, 2.0 / 3.0);
      ASSERT_LE(generalEnergy(w, v, beta, 2.0 / 3.0),
                generalEnergy(best, v, beta, 2.0 / 3.0) + kSearchEnergyTolerance)
          << "v " << v << " beta " << beta;
      ASSERT_NEAR(w, powerShrinkRoot(v, beta, 2.0 / 3.0), kAgreementTolerance * std::fabs(v))
          << "v " << v << " beta " << beta;
      if (w != 0.0) {
        ASSERT_EQ(std::signbit(w), std::signbit(v)) << "v " << v << " beta " << beta;
        ASSERT_LT(std::fabs(w), std::fabs(v)) << "v " << v << " beta " << beta;
      }
    }
  }
  EXPECT_EQ(twoThirdsPowerRoot(0.0, 1.0), 0.0);
}

TEST(PowerShrinkRoot, MinimisesTheSplitEnergyForAnyExponent) {
  for (double alpha : {0.1, 0.3, 0.5, 0.8, 1.0}) {
    for (double beta : {1.0, 8.0, 128.0 * kSqrt2}) {
      for (int i = -150; i <= 150; ++i) {
        const double v = i * 0.01 + 0.00037;
        const double w = powerShrinkRoot(v, beta, alpha);
        const double best = searchedMinimiser(v, beta, alpha);
        ASSERT_LE(generalEnergy(w, v, beta, alpha),
                  generalEnergy(best, v, beta, alpha) + kSearchEnergyTolerance)
            << "v " << v << " beta " << beta << " alpha " << alpha;
      }
    }
  }
}

TEST(PowerShrinkRoot, IsSoftThresholdingForExponentOneAndTheCubicsRootForOneHalf) {
  for (double beta : kScheduleBetas) {
    for (int i = -300; i <= 300; ++i) {
      const double v = i * 0.005 + 0.0003;
      ASSERT_NEAR(powerShrinkRoot(v, beta, 1.0), shrink(v, 1.0 / beta), kExactTolerance)
          << "v " << v << " beta " << beta;
      ASSERT_NEAR(powerShrinkRoot(v, beta, 0.5), halfPowerRoot(v, cFor(beta)), kRootTolerance)
          << "v " << v << " beta " << beta;
    }
  }
}

TEST(PowerShrinkTable, InterpolatesTheNumericalSolution) {
  for (double alpha : {0.2, 0.8, 1.0}) {
    for (double beta : {1.0, 16.0 * kSqrt2, 128.0 * kSqrt2}) {
      const PowerShrinkTable table(beta, alpha);
      // Inside the table, across the threshold, and beyond it.
      for (int i = -4000; i <= 4000; ++i) {
        const double v = i * 0.00047 + 1e-5;
        ASSERT_NEAR(table(v), powerShrinkRoot(v, beta, alpha), kTableTolerance)
            << "v " << v << " beta " << beta << " alpha " << alpha;
      }
      for (double v : {1.5, 2.0, -7.25, 1e6}) {
        EXPECT_EQ(table(v), powerShrinkRoot(v, beta, alpha)) << v;
      }
    }
  }
}

TEST(PowerShrink, ChoosesTheSolverByTheExponent) {
  const double beta = 8.0;
  const std::vector<double> vh = {0.2, -0.7, 2.00001, 1.3};
  const std::vector<double> vv = {0.9, 2.00005, -0.05, 40.0};
  std::vector<double> wh(4), wv(4), expectedH(4), expectedV(4);

  powerShrink(vh.data(), vv.data(), wh.data(), wv.data(), 2, 2, beta, 0.5);
  halfPowerShrink(vh.data(), vv.data(), expectedH.data(), expectedV.data(), 2, 2, beta, 0.5);
  EXPECT_EQ(wh, expectedH);
  EXPECT_EQ(wv, expectedV);

  // 2/3 shares the half power's bins: 2.00001 takes the solution of
  // 2.00005, met first (vertically, at index 1) in the same bin.
  powerShrink(vh.data(), vv.data(), wh.data(), wv.data(), 2, 2, beta, 0.667);
  ASSERT_NE(twoThirdsPowerRoot(2.00001, beta), twoThirdsPowerRoot(2.00005, beta));
  EXPECT_EQ(wh[2], twoThirdsPowerRoot(2.00005, beta));
  for (int i : {0, 1, 3}) EXPECT_EQ(wh[i], twoThirdsPowerRoot(vh[i], beta)) << i;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(wv[i], twoThirdsPowerRoot(vv[i], beta)) << i;

  powerShrink(vh.data(), vv.data(), wh.data(), wv.data(), 2, 2, beta, 0.8);
  const PowerShrinkTable table(beta, 0.8);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(wh[i], table(vh[i])) << i;
    EXPECT_EQ(wv[i], table(vv[i])) << i;
  }
}

TEST(AutomaticHyperLaplacianWeight, FallsWithTheNoiseAndTheExponent) {
  const double sigmas[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1};
  for (double alpha : {0.2, 0.5, 2.0 / 3.0, 1.0}) {
    for (std::size_t i = 1; i < std::size(sigmas); ++i) {
      EXPECT_LT(automaticHyperLaplacianWeight(sigmas[i], alpha),
                automaticHyperLaplacianWeight(sigmas[i - 1], alpha))
          << sigmas[i] << " " << alpha;
    }
    // Less noise than 8-bit steps carry is not told apart.
    EXPECT_EQ(automaticHyperLaplacianWeight(0.0, alpha),
              automaticHyperLaplacianWeight(0.001, alpha));
    EXPECT_GT(automaticHyperLaplacianWeight(0.1, alpha), 0.0);
    EXPECT_LT(automaticHyperLaplacianWeight(0.0, alpha), 1e9);
  }
  for (double sigma : sigmas) {
    EXPECT_LT(automaticHyperLaplacianWeight(sigma, 2.0 / 3.0),
              automaticHyperLaplacianWeight(sigma, 0.5));
    EXPECT_LT(automaticHyperLaplacianWeight(sigma, 1.0),
              automaticHyperLaplacianWeight(sigma, 2.0 / 3.0));
  }
}

}  // namespace
}  // namespace kestrel
