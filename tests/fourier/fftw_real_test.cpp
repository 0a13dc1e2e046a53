#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "fourier/fftw_resources.h"

namespace kestrel {
namespace {

// A few ulps of values of order 1 after a round trip of two transforms.
constexpr double kRoundTripTolerance = 1e-12;

TEST(RealTransforms, MatchTheComplexTransformOnTheHalfSpectrumAndRoundTrip) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int rows : {2, 5, 16}) {
    for (int cols : {2, 7, 12}) {
      const int half = cols / 2 + 1;
      FftwRealBuffer real(rows * cols);
      FftwBuffer complexInput(rows * cols);
      for (int i = 0; i < rows * cols; ++i) real[i] = complexInput[i][0] = uniform(random);
      FftwBuffer halfSpectrum(rows * half);
      FftwBuffer fullSpectrum(rows * cols);
      FftwPlan::realForward2d(rows, cols, real.data(), halfSpectrum.data()).execute();
      transform2d(rows, cols, complexInput.data(), fullSpectrum.data(), FFTW_FORWARD);
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < half; ++c) {
          EXPECT_NEAR(halfSpectrum[r * half + c][0], fullSpectrum[r * cols + c][0], kRoundTripTolerance);
          EXPECT_NEAR(halfSpectrum[r * half + c][1], fullSpectrum[r * cols + c][1], kRoundTripTolerance);
        }
      }
      FftwRealBuffer back(rows * cols);
      FftwPlan::realBackward2d(rows, cols, halfSpectrum.data(), back.data()).execute();
      for (int i = 0; i < rows * cols; ++i) {
        EXPECT_NEAR(back[i] / (rows * cols), complexInput[i][0], kRoundTripTolerance);
      }
    }
  }
}

}  // namespace
}  // namespace kestrel
