// What every deconvolution routine promises whatever its prior: the copy of
// y into x before any check, the refusals, constant planes and kernels
// that sum to 0.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "deconv/hyper_laplacian.h"
#include "deconv/l1_tv_deconvolution.h"
#include "deconv/tv_deconvolution.h"
#include "tests/deconv/test_planes.h"

namespace kestrel {
namespace {

using testing::randomPlane;
using testing::shakeKernel;

// A constant plane goes through up to some two hundred transforms of a few
// hundred cells and twenty direct convolutions: rounding stays near 1e-14.
constexpr double kConstantTolerance = 1e-11;

struct Routine {
  const char* name;
  std::function<bool(const double* y, double* x, const double* k, int rows, int cols, int kh,
                     int kw)>
      run;
  bool endsWithASolve;  // no median step after the last solve
};

// Each routine with the weights its caller passes by default.
const std::vector<Routine>& routines() {
  static const std::vector<Routine> all = {
      {"l1TvDeconvolve",
       [](const double* y, double* x, const double* k, int rows, int cols, int kh, int kw) {
         return l1TvDeconvolve(y, x, k, rows, cols, kh, kw, 0.02, 10);
       },
       false},
      {"l1TvDeconvolve without deringing",
       [](const double* y, double* x, const double* k, int rows, int cols, int kh, int kw) {
         return l1TvDeconvolve(y, x, k, rows, cols, kh, kw, 0.02, 0);
       },
       true},
      {"tvDeconvolve",
       [](const double* y, double* x, const double* k, int rows, int cols, int kh, int kw) {
         return tvDeconvolve(y, x, k, rows, cols, kh, kw, 0.0002, 10);
       },
       false},
      {"tvDeconvolve without deringing",
       [](const double* y, double* x, const double* k, int rows, int cols, int kh, int kw) {
         return tvDeconvolve(y, x, k, rows, cols, kh, kw, 0.0002, 0);
       },
       true},
      {"singleTvDeconvolve",
       [](const double* y, double* x, const double* k, int rows, int cols, int kh, int kw) {
         return singleTvDeconvolve(y, x, k, rows, cols, kh, kw, 0.0002);
       },
       true},
      {"hyperLaplacianDeconvolve",
       [](const double* y, double* x, const double* k, int rows, int cols, int kh, int kw) {
         return hyperLaplacianDeconvolve(y, x, k, rows, cols, kh, kw, 30000.0, 0.5);
       },
       true},
  };
  return all;
}

TEST(Deconvolutions, RefuseAnEvenKernelSilentlyAndLeaveACopyOfTheInput) {
  const int rows = 16, cols = 18;
  const std::vector<double> y = randomPlane(rows, cols, 3);
  const std::vector<double> kernel(5 * 5, 0.04);
  for (const Routine& routine : routines()) {
    for (const auto& size : {std::pair{4, 5}, std::pair{5, 4}, std::pair{2, 2}}) {
      std::vector<double> x(y.size(), -1.0);
      ::testing::internal::CaptureStdout();
      const bool result =
          routine.run(y.data(), x.data(), kernel.data(), rows, cols, size.first, size.second);
      EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << routine.name;
      EXPECT_FALSE(result) << routine.name;
      EXPECT_EQ(x, y) << routine.name;
    }
  }
}

TEST(Deconvolutions, RefuseAKernelLargerThanThePlaneSilently) {
  const int rows = 6, cols = 9;
  const std::vector<double> y = randomPlane(rows, cols, 5);
  const std::vector<double> kernel = shakeKernel(7);
  for (const Routine& routine : routines()) {
    std::vector<double> x(y.size(), -1.0);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(routine.run(y.data(), x.data(), kernel.data(), rows, cols, 7, 7)) << routine.name;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << routine.name;
    EXPECT_EQ(x, y) << routine.name;
  }
}

// The residual and the gradients of a constant plane are 0, and at
// frequency 0 the gradient power is 0 and |K|^2 is 1.
TEST(Deconvolutions, ReturnAConstantPlaneUnchanged) {
  const int rows = 26, cols = 30;
  const std::vector<double> y(rows * cols, 0.55);
  const std::vector<double> kernel = shakeKernel(7);
  for (const Routine& routine : routines()) {
    std::vector<double> x(y.size());
    ASSERT_TRUE(routine.run(y.data(), x.data(), kernel.data(), rows, cols, 7, 7)) << routine.name;
    for (double v : x) ASSERT_NEAR(v, 0.55, kConstantTolerance) << routine.name;
  }
}

// A kernel summing to 0 leaves the mean undetermined; every solve sets it
// to 0 instead of dividing by 0. A median step after the last solve may
// shift it again.
TEST(Deconvolutions, GiveFiniteValuesForAKernelSummingToZero) {
  const int rows = 20, cols = 22;
  const std::vector<double> y = randomPlane(rows, cols, 6);
  const std::vector<double> kernel = {0.0, 1.0, 0.0, 1.0, -4.0, 1.0, 0.0, 1.0, 0.0};
  for (const Routine& routine : routines()) {
    std::vector<double> x(y.size());
    ASSERT_TRUE(routine.run(y.data(), x.data(), kernel.data(), rows, cols, 3, 3)) << routine.name;
    double sum = 0.0;
    for (double v : x) {
      ASSERT_TRUE(std::isfinite(v)) << routine.name;
      sum += v;
    }
    if (routine.endsWithASolve) {
      EXPECT_NEAR(sum / x.size(), 0.0, kConstantTolerance) << routine.name;
    }
  }
}

}  // namespace
}  // namespace kestrel
