#include "fourier/fft_toolkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "fourier/fftw_resources.h"
#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::circularConvolve;
using testing::circularCorrelate;
using testing::naiveDft;
using testing::Plane;
using testing::randomPlane;
using testing::realParts;
using testing::toSpace;

// Two transforms of at most a few hundred cells of values of order 1: a few
// hundred ulps of 1.0 at most.
constexpr double kRoundTripTolerance = 1e-13;
// A product of spectra brought back to space against a direct sum of up to
// a few dozen products per cell.
constexpr double kProductTolerance = 1e-12;
// Closed-form sines against FFT output of small integer filters.
constexpr double kClosedFormTolerance = 1e-12;
// Transforms of an impulse or of filters summing to 0, at the frequencies
// where every twiddle factor is 1: exact but for a stray rounding.
constexpr double kExactCellTolerance = 1e-14;

std::size_t cells(int rows, int cols) { return static_cast<std::size_t>(rows) * cols; }

FftwBuffer forward(const Plane& plane, int rows, int cols) {
  FftwBuffer input(plane.size());
  for (std::size_t i = 0; i < plane.size(); ++i) input[i][0] = plane[i];
  FftwBuffer spectrum(plane.size());
  transform2d(rows, cols, input.data(), spectrum.data(), FFTW_FORWARD);
  return spectrum;
}

TEST(KernelToSpectrum, IsUndoneBySpectrumToKernelForEveryKernelThatFits) {
  const int gridSizes[] = {2, 3, 4, 5, 7, 8, 12, 15};
  const int kernelSizes[] = {1, 2, 3, 4, 5, 6, 7};
  unsigned seed = 1;
  for (int rows : gridSizes) {
    for (int cols : gridSizes) {
      for (int kernelRows : kernelSizes) {
        for (int kernelCols : kernelSizes) {
          if (kernelRows > rows || kernelCols > cols) continue;
          const Plane kernel = randomPlane(kernelRows, kernelCols, seed++, -1.0, 1.0);
          FftwBuffer spectrum(cells(rows, cols));
          kernelToSpectrum(kernel.data(), spectrum.data(), rows, cols, kernelRows, kernelCols);
          Plane back(kernel.size(), -7.0);
          spectrumToKernel(spectrum.data(), back.data(), rows, cols, kernelRows, kernelCols);
          for (std::size_t i = 0; i < kernel.size(); ++i) {
            ASSERT_NEAR(back[i], kernel[i], kRoundTripTolerance)
                << kernelRows << "x" << kernelCols << " on " << rows << "x" << cols;
          }
        }
      }
    }
  }
}

TEST(KernelToSpectrum, RoundTripsRowAndColumnKernelsOnLargerGrids) {
  for (int length : {1, 2, 3, 8, 9, 16}) {
    const Plane kernel = randomPlane(1, length, 40u + length);
    for (const auto& [kernelRows, kernelCols] : {std::pair{1, length}, {length, 1}}) {
      const int rows = 17, cols = 18;
      FftwBuffer spectrum(cells(rows, cols));
      kernelToSpectrum(kernel.data(), spectrum.data(), rows, cols, kernelRows, kernelCols);
      Plane back(kernel.size());
      spectrumToKernel(spectrum.data(), back.data(), rows, cols, kernelRows, kernelCols);
      for (std::size_t i = 0; i < kernel.size(); ++i)
        EXPECT_NEAR(back[i], kernel[i], kRoundTripTolerance) << kernelRows << "x" << kernelCols;
    }
  }
}

TEST(KernelToSpectrum, PutsTheCentreOnTheOriginAndWrapsTheRest) {
  const double centred[3] = {0.0, 1.0, 0.0};
  FftwBuffer spectrum(16);
  kernelToSpectrum(centred, spectrum.data(), 4, 4, 1, 3);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_NEAR(spectrum[i][0], 1.0, kExactCellTolerance);
    EXPECT_NEAR(spectrum[i][1], 0.0, kExactCellTolerance);
  }

  // Distinct values show where each element went: first on (0, 3), centre
  // on (0, 0), last on (0, 1).
  const double marked[3] = {5.0, 1.0, 7.0};
  kernelToSpectrum(marked, spectrum.data(), 4, 4, 1, 3);
  std::vector<std::complex<double>> placed(16, 0.0);
  placed[3] = 5.0;
  placed[0] = 1.0;
  placed[1] = 7.0;
  const auto expected = naiveDft(placed, 4, 4, -1);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_NEAR(spectrum[i][0], expected[i].real(), kClosedFormTolerance);
    EXPECT_NEAR(spectrum[i][1], expected[i].imag(), kClosedFormTolerance);
  }
}

TEST(KernelToSpectrum, PlacesAnEvenKernelWithItsLowerRightCentreOnTheOrigin) {
  // 2x2 kernel, centre element (1, 1): element (0, 0) lands on the last row
  // and column of a 3x5 grid.
  const double kernel[4] = {1.0, 2.0, 3.0, 4.0};
  FftwBuffer spectrum(15);
  kernelToSpectrum(kernel, spectrum.data(), 3, 5, 2, 2);
  const Plane space = realParts(toSpace(spectrum, 3, 5));
  Plane expected(15, 0.0);
  expected[2 * 5 + 4] = 1.0;
  expected[2 * 5 + 0] = 2.0;
  expected[0 * 5 + 4] = 3.0;
  expected[0] = 4.0;
  for (std::size_t i = 0; i < 15; ++i) EXPECT_NEAR(space[i], expected[i], kRoundTripTolerance);
}

TEST(KernelToSpectrum, LetsTheLastElementStandWhereAWideKernelWrapsOntoItself) {
  // Five taps on three columns: taps 3 and 4 land where taps 0 and 1 went.
  const double kernel[5] = {1.0, 2.0, 3.0, 4.0, 5.0};
  FftwBuffer spectrum(6);
  kernelToSpectrum(kernel, spectrum.data(), 2, 3, 1, 5);
  const Plane space = realParts(toSpace(spectrum, 2, 3));
  const double expected[6] = {3.0, 4.0, 5.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(space[i], expected[i], kRoundTripTolerance);
}

// Grids and kernels (rows, cols, kernelRows, kernelCols): odd, even, a row
// and a column.
const std::tuple<int, int, int, int> kProductCases[] = {
    {9, 11, 3, 5}, {8, 8, 4, 2}, {10, 7, 1, 6}, {6, 13, 5, 1}};

TEST(KernelSpectra, TimesAnImageSpectrumIsTheCircularConvolution) {
  for (const auto& [rows, cols, kernelRows, kernelCols] : kProductCases) {
    const Plane image = randomPlane(rows, cols, 3u + rows);
    const Plane kernel = randomPlane(kernelRows, kernelCols, 4u + cols, -0.5, 1.0);
    FftwBuffer k(cells(rows, cols)), power(cells(rows, cols)), g(cells(rows, cols));
    kernelSpectra(kernel.data(), rows, cols, kernelRows, kernelCols, k.data(), power.data(),
                  g.data());
    FftwBuffer product = forward(image, rows, cols);
    for (std::size_t i = 0; i < product.size(); ++i) {
      const std::complex<double> z = std::complex<double>(product[i][0], product[i][1]) *
                                     std::complex<double>(k[i][0], k[i][1]);
      product[i][0] = z.real();
      product[i][1] = z.imag();
    }
    const Plane result = realParts(toSpace(product, rows, cols));
    const Plane expected = circularConvolve(image, rows, cols, kernel, kernelRows, kernelCols);
    for (std::size_t i = 0; i < result.size(); ++i)
      ASSERT_NEAR(result[i], expected[i], kProductTolerance) << rows << "x" << cols;
  }
}

TEST(DeconvolutionSpectra, ConjugateProductIsTheCircularCorrelation) {
  for (const auto& [rows, cols, kernelRows, kernelCols] : kProductCases) {
    const Plane image = randomPlane(rows, cols, 13u + rows);
    const Plane kernel = randomPlane(kernelRows, kernelCols, 14u + cols, -0.5, 1.0);
    FftwBuffer conjTimesImage(cells(rows, cols)), power(cells(rows, cols)), g(cells(rows, cols));
    deconvolutionSpectra(image.data(), kernel.data(), rows, cols, kernelRows, kernelCols,
                         conjTimesImage.data(), power.data(), g.data());
    const Plane result = realParts(toSpace(conjTimesImage, rows, cols));
    const Plane expected = circularCorrelate(image, rows, cols, kernel, kernelRows, kernelCols);
    for (std::size_t i = 0; i < result.size(); ++i)
      ASSERT_NEAR(result[i], expected[i], kProductTolerance) << rows << "x" << cols;

    // |K|^2 applied to the image blurs it and then correlates it again.
    FftwBuffer product = forward(image, rows, cols);
    for (std::size_t i = 0; i < product.size(); ++i) {
      EXPECT_EQ(power[i][1], 0.0);
      product[i][0] *= power[i][0];
      product[i][1] *= power[i][0];
    }
    const Plane twice = realParts(toSpace(product, rows, cols));
    const Plane expectedTwice =
        circularCorrelate(circularConvolve(image, rows, cols, kernel, kernelRows, kernelCols), rows,
                          cols, kernel, kernelRows, kernelCols);
    for (std::size_t i = 0; i < twice.size(); ++i)
      ASSERT_NEAR(twice[i], expectedTwice[i], kProductTolerance) << rows << "x" << cols;
  }
}

TEST(DerivativeSpectra, MatchTheClosedFormOfTheDifferenceFilters) {
  const double pi = std::acos(-1.0);
  for (const auto& [rows, cols] : {std::pair{2, 2}, {3, 7}, {8, 6}, {16, 9}, {5, 5}}) {
    FftwBuffer g(cells(rows, cols)), w(cells(rows, cols));
    derivativeSpectra(rows, cols, g.data(), w.data());
    for (int u = 0; u < rows; ++u) {
      for (int v = 0; v < cols; ++v) {
        // |1 - e^{-i t}|^2 = 4 sin^2(t / 2) per difference along one axis.
        const double sy = std::pow(std::sin(pi * u / rows), 2);
        const double sx = std::pow(std::sin(pi * v / cols), 2);
        const double gradient = 4.0 * sx + 4.0 * sy;
        const double weight =
            1.0 + 0.5 * gradient + 0.25 * (16.0 * sx * sx + 16.0 * sy * sy + 16.0 * sx * sy);
        const std::size_t i = static_cast<std::size_t>(u) * cols + v;
        EXPECT_NEAR(g[i][0], gradient, kClosedFormTolerance) << u << "," << v;
        EXPECT_NEAR(w[i][0], weight, kClosedFormTolerance) << u << "," << v;
        EXPECT_EQ(g[i][1], 0.0);
        EXPECT_EQ(w[i][1], 0.0);
        EXPECT_GE(w[i][0], 1.0);
      }
    }
    EXPECT_NEAR(g[0][0], 0.0, kExactCellTolerance);
    EXPECT_NEAR(w[0][0], 1.0, kExactCellTolerance);
  }
}

TEST(DerivativeSpectra, GradientPowerIsTheSameFromEveryBuilder) {
  const int rows = 7, cols = 10;
  const Plane image = randomPlane(rows, cols, 21u);
  const Plane kernel = randomPlane(3, 3, 22u);
  FftwBuffer g1(cells(rows, cols)), w(cells(rows, cols)), g2(cells(rows, cols)),
      g3(cells(rows, cols)), a(cells(rows, cols)), b(cells(rows, cols));
  derivativeSpectra(rows, cols, g1.data(), w.data());
  kernelSpectra(kernel.data(), rows, cols, 3, 3, a.data(), b.data(), g2.data());
  deconvolutionSpectra(image.data(), kernel.data(), rows, cols, 3, 3, a.data(), b.data(),
                       g3.data());
  for (std::size_t i = 0; i < g1.size(); ++i) {
    EXPECT_EQ(g2[i][0], g1[i][0]);
    EXPECT_EQ(g3[i][0], g1[i][0]);
  }
}

TEST(KernelSpectra, OfAUnitImpulseIsOneEverywhere) {
  const int rows = 6, cols = 9;
  const double unit = 1.0;
  FftwBuffer k(cells(rows, cols)), power(cells(rows, cols)), g(cells(rows, cols));
  kernelSpectra(&unit, rows, cols, 1, 1, k.data(), power.data(), g.data());
  for (std::size_t i = 0; i < k.size(); ++i) {
    EXPECT_NEAR(k[i][0], 1.0, kExactCellTolerance);
    EXPECT_NEAR(k[i][1], 0.0, kExactCellTolerance);
    EXPECT_NEAR(power[i][0], 1.0, kExactCellTolerance);
    EXPECT_EQ(power[i][1], 0.0);
  }
}

// Edge taper written from its definition: direct cyclic autocorrelations and
// a direct circular blur.
std::vector<double> referenceTaperWeights(const Plane& profile, int length) {
  const int n = length - 1;
  Plane h(n, 0.0);
  for (int i = 0; i < std::min<int>(n, profile.size()); ++i) h[i] = profile[i];
  Plane z(n, 0.0);
  for (int lag = 0; lag < n; ++lag)
    for (int j = 0; j < n; ++j) z[lag] += n * h[j] * h[(j + lag) % n];
  double largest = 0.0;
  for (double v : z) largest = std::max(largest, v);
  std::vector<double> beta(length);
  for (int i = 0; i < n; ++i) beta[i] = (z[i] < 1e-10 ? 0.0 : z[i]) / largest;
  beta[n] = z[0] / largest;
  return beta;
}

Plane referenceEdgeTaper(const Plane& image, const Plane& kernel, int rows, int cols,
                         int kernelRows, int kernelCols) {
  Plane horizontal(kernelCols, 0.0), vertical(kernelRows, 0.0);
  for (int i = 0; i < kernelRows; ++i) {
    for (int j = 0; j < kernelCols; ++j) {
      horizontal[j] += kernel[i * kernelCols + j];
      vertical[i] += kernel[i * kernelCols + j];
    }
  }
  const auto betaX = referenceTaperWeights(horizontal, cols);
  const auto betaY = referenceTaperWeights(vertical, rows);
  const Plane blurred = circularConvolve(image, rows, cols, kernel, kernelRows, kernelCols);
  const double hi = std::max(0.0, *std::max_element(image.begin(), image.end()));
  const double lo = std::min(100000.0, *std::min_element(image.begin(), image.end()));
  Plane out(image.size());
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * cols + c;
      const double alpha = (1.0 - betaY[r]) * (1.0 - betaX[c]);
      out[i] = std::clamp(alpha * image[i] + (1.0 - alpha) * blurred[i], lo, hi);
    }
  }
  return out;
}

TEST(EdgeTaper, MatchesADirectEvaluationOfTheBlend) {
  for (const auto& [rows, cols, kernelRows, kernelCols] :
       {std::tuple{20, 24, 5, 3}, {17, 15, 4, 6}, {32, 12, 7, 7}}) {
    const Plane image = randomPlane(rows, cols, 30u + rows);
    Plane kernel = randomPlane(kernelRows, kernelCols, 31u + cols, 0.1, 1.0);
    double sum = 0.0;
    for (double v : kernel) sum += v;
    for (double& v : kernel) v /= sum;
    Plane out(image.size());
    edgeTaper(image.data(), out.data(), kernel.data(), rows, cols, kernelRows, kernelCols);
    const Plane expected = referenceEdgeTaper(image, kernel, rows, cols, kernelRows, kernelCols);
    for (std::size_t i = 0; i < out.size(); ++i)
      ASSERT_NEAR(out[i], expected[i], kProductTolerance) << rows << "x" << cols << " at " << i;

    // Beyond the kernel's reach from every border the image is untouched.
    for (int r = kernelRows; r < rows - kernelRows; ++r)
      for (int c = kernelCols; c < cols - kernelCols; ++c)
        EXPECT_EQ(out[r * cols + c], image[r * cols + c]);
  }
}

TEST(EdgeTaper, WithAUnitKernelReturnsTheImage) {
  const int rows = 14, cols = 19;
  const Plane image = randomPlane(rows, cols, 50u);
  const double unit = 1.0;
  Plane out(image.size());
  edgeTaper(image.data(), out.data(), &unit, rows, cols, 1, 1);
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], image[i], kRoundTripTolerance);
}

TEST(EdgeTaper, WithAKernelOfZerosLeavesTheImageUnchanged) {
  const int rows = 12, cols = 10;
  const Plane image = randomPlane(rows, cols, 51u);
  const Plane zeros(9, 0.0);
  Plane out(image.size(), -1.0);
  edgeTaper(image.data(), out.data(), zeros.data(), rows, cols, 3, 3);
  EXPECT_EQ(out, image);
}

TEST(EdgeTaper, GivesTheSameResultInPlace) {
  const int rows = 16, cols = 11;
  const Plane image = randomPlane(rows, cols, 52u);
  const Plane kernel = randomPlane(5, 5, 53u, 0.0, 0.08);
  Plane out(image.size());
  edgeTaper(image.data(), out.data(), kernel.data(), rows, cols, 5, 5);
  Plane inPlace = image;
  edgeTaper(inPlace.data(), inPlace.data(), kernel.data(), rows, cols, 5, 5);
  EXPECT_EQ(inPlace, out);
}

TEST(EdgeTaper, ClampsBlendedValuesToTheImageRange) {
  const int rows = 10, cols = 12;
  // Borders take the blurred copy alone; kernels summing to 4.5 and -4.5
  // push it far above the maximum and far below the minimum.
  const Plane image = randomPlane(rows, cols, 54u, 0.4, 0.6);
  const double top = *std::max_element(image.begin(), image.end());
  const double bottom = *std::min_element(image.begin(), image.end());
  for (double tap : {0.5, -0.5}) {
    const Plane kernel(9, tap);
    Plane out(image.size());
    edgeTaper(image.data(), out.data(), kernel.data(), rows, cols, 3, 3);
    for (double v : out) {
      EXPECT_LE(v, top);
      EXPECT_GE(v, bottom);
    }
    EXPECT_EQ(out[0], tap > 0 ? top : bottom);
    EXPECT_EQ(out[rows * cols - 1], tap > 0 ? top : bottom);
  }
}

TEST(EdgeTaper, BoundsAnAllNegativeImageAboveByZero) {
  const int rows = 8, cols = 9;
  const Plane image(cells(rows, cols), -0.4);
  // Summing to 0.5, the kernel halves the image on the borders: -0.2 lies
  // above the image maximum but below 0, so it stays.
  const Plane halving(9, 0.5 / 9);
  Plane out(image.size());
  edgeTaper(image.data(), out.data(), halving.data(), rows, cols, 3, 3);
  EXPECT_NEAR(out[0], -0.2, kRoundTripTolerance);
  for (double v : out) {
    EXPECT_LE(v, 0.0);
    EXPECT_GE(v, -0.4);
  }
  // Summing to 3 it triples them: -1.2 is raised to the minimum -0.4.
  const Plane tripling(9, 3.0 / 9);
  edgeTaper(image.data(), out.data(), tripling.data(), rows, cols, 3, 3);
  EXPECT_EQ(out[0], -0.4);
}

TEST(EdgeTaper, NeverLowersTheLowerBoundBelowOneHundredThousand) {
  const int rows = 8, cols = 9;
  const Plane image(cells(rows, cols), 200000.0);
  const Plane quartering(9, 0.25 / 9);
  Plane out(image.size());
  edgeTaper(image.data(), out.data(), quartering.data(), rows, cols, 3, 3);
  EXPECT_EQ(out[0], 100000.0);
  EXPECT_EQ(out[4 * cols + 4], 200000.0);
}

TEST(CompareAscending, SortsWithQsort) {
  double values[3] = {3.0, 1.0, 2.0};
  std::qsort(values, 3, sizeof(double), compareAscending);
  EXPECT_EQ(values[0], 1.0);
  EXPECT_EQ(values[1], 2.0);
  EXPECT_EQ(values[2], 3.0);

  Plane many = randomPlane(1, 501, 60u, -5.0, 5.0);
  many[17] = many[300];
  Plane sorted = many;
  std::sort(sorted.begin(), sorted.end());
  std::qsort(many.data(), many.size(), sizeof(double), compareAscending);
  EXPECT_EQ(many, sorted);
}

TEST(CompareAscending, ReturnsMinusOneZeroOrOneAndOneWhenUnordered) {
  const double a = 1.5, b = 2.5, nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(compareAscending(&a, &b), -1);
  EXPECT_EQ(compareAscending(&b, &a), 1);
  EXPECT_EQ(compareAscending(&a, &a), 0);
  EXPECT_EQ(compareAscending(&nan, &a), 1);
  EXPECT_EQ(compareAscending(&a, &nan), 1);
}

}  // namespace
}  // namespace kestrel
