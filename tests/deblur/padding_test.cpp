#include "deblur/padding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "fourier/grid.h"
#include "parallel/parallel.h"
#include "tests/support/agreement.h"

namespace kestrel {
namespace {

using testing::relativeDifference;

// A constant plane goes through forward and backward transforms of a few
// thousand cells ten times; rounding stays within a few hundred ulps of 1.
constexpr double kConstantTolerance = 1e-12;
// Spectra built through one transform of an exactly representable kernel.
constexpr double kSpectrumTolerance = 1e-12;
constexpr double kTwoPi = 6.283185307179586;
// The steps run on half spectra with closed-form derivative powers; the
// reference transforms the whole complex plane with transformed filter
// powers. Both are exact up to rounding of a few transforms of a unit-range
// plane, a few hundred ulps after ten steps.
constexpr double kReferenceTolerance = 1e-12;

// The plain formulation of one step: the whole complex spectrum of the
// plane, X = conj(K) Y W / (W |K|^2 + a G), Z = K X W / (W + l G), back.
void referenceStep(double* plane, int cols, int rows, double dataWeight, double smoothWeight,
                   const PaddingSpectra& spectra) {
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  FftwBuffer work(n);
  for (std::size_t i = 0; i < n; ++i) work[i][0] = plane[i];
  transform2d(rows, cols, work.data(), work.data(), FFTW_FORWARD);
  for (std::size_t i = 0; i < n; ++i) {
    const double kr = spectra.kernelSpectrum[i][0], ki = spectra.kernelSpectrum[i][1];
    const double w = spectra.derivativeWeight[i][0], g = spectra.gradientPower[i][0];
    const double yr = work[i][0], yi = work[i][1];
    const double d = w * spectra.kernelPower[i][0] + dataWeight * g;
    const double xr = d == 0.0 ? 0.0 : (kr * yr + ki * yi) * w / d;
    const double xi = d == 0.0 ? 0.0 : (kr * yi - ki * yr) * w / d;
    const double s = w + smoothWeight * g;
    work[i][0] = (kr * xr - ki * xi) * w / s;
    work[i][1] = (kr * xi + ki * xr) * w / s;
  }
  transform2d(rows, cols, work.data(), work.data(), FFTW_BACKWARD);
  for (std::size_t i = 0; i < n; ++i) plane[i] = std::clamp(work[i][0] / n, 0.0, 1.0);
}

std::vector<double> randomPlanes(int width, int height, int planes, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> image(static_cast<std::size_t>(width) * height * planes);
  for (double& v : image) v = uniform(random);
  return image;
}

// A non-negative kernel summing to 1: a slanted line with a faint halo.
std::vector<double> motionKernel(int width, int height) {
  std::vector<double> kernel(static_cast<std::size_t>(width) * height, 0.01);
  for (int x = 0; x < width; ++x)
    kernel[(x * (height - 1) / std::max(width - 1, 1)) * width + x] += 1.0;
  double sum = 0.0;
  for (double v : kernel) sum += v;
  for (double& v : kernel) v /= sum;
  return kernel;
}

struct Padded {
  std::vector<double> planes;
  int width = 0;
  int height = 0;
};

Padded pad(const std::vector<double>& image, const std::vector<double>& kernel, int width,
           int height, int planes, int kernelWidth, int kernelHeight,
           const PaddingWeights& weights = {}) {
  Padded out;
  out.width = width + 2 * kernelWidth;
  out.height = height + 2 * kernelHeight;
  out.planes.assign(static_cast<std::size_t>(out.width) * out.height * planes, -1.0);
  padImage(image.data(), out.planes.data(), kernel.data(), width, height, planes, kernelWidth,
           kernelHeight, kernelWidth, kernelHeight, weights);
  return out;
}

TEST(PadImage, LeavesTheInputUnchangedInTheMiddleOfEveryPlane) {
  struct Case {
    int width, height, planes, kernelWidth, kernelHeight;
  };
  for (const Case& c : {Case{40, 30, 1, 3, 3}, Case{37, 45, 3, 9, 7}, Case{64, 48, 1, 15, 15},
                        Case{23, 61, 3, 5, 13}, Case{50, 50, 1, 25, 25}}) {
    const std::vector<double> image = randomPlanes(c.width, c.height, c.planes, 11);
    const Padded padded = pad(image, motionKernel(c.kernelWidth, c.kernelHeight), c.width, c.height,
                              c.planes, c.kernelWidth, c.kernelHeight);
    for (int p = 0; p < c.planes; ++p) {
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) {
          const double inside =
              padded.planes[(static_cast<std::size_t>(p) * padded.height + y + c.kernelHeight) *
                                padded.width +
                            x + c.kernelWidth];
          ASSERT_EQ(inside, image[(static_cast<std::size_t>(p) * c.height + y) * c.width + x])
              << c.width << "x" << c.height << " kernel " << c.kernelWidth << "x" << c.kernelHeight
              << " at plane " << p << " (" << x << ", " << y << ")";
        }
      }
    }
  }
}

TEST(PadImage, KeepsEveryPaddedValueInTheUnitRange) {
  // Extremes only: a checkerboard of 0 and 1 makes the regularised
  // deconvolution overshoot, which the clamp must catch.
  const int width = 33, height = 29, kernelSide = 11;
  std::vector<double> image(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image[y * width + x] = ((x / 3 + y / 3) % 2) ? 1.0 : 0.0;
  const Padded padded =
      pad(image, motionKernel(kernelSide, kernelSide), width, height, 1, kernelSide, kernelSide);
  for (double v : padded.planes) {
    ASSERT_GE(v, 0.0);
    ASSERT_LE(v, 1.0);
  }
}

TEST(PadImage, KeepsAConstantPlaneConstantWithASingleLevel) {
  const int width = 31, height = 26;
  const std::vector<double> image(static_cast<std::size_t>(width) * height, 0.43);
  for (const auto& size : {std::pair{3, 3}, std::pair{1, 3}, std::pair{3, 1}}) {
    const Padded padded = pad(image, motionKernel(size.first, size.second), width, height, 1,
                              size.first, size.second);
    for (double v : padded.planes) ASSERT_NEAR(v, 0.43, kConstantTolerance);
  }
}

TEST(PadImage, PadsThreePlanesAsEachPlaneAlone) {
  const int width = 41, height = 34, kernelWidth = 13, kernelHeight = 9;
  const std::vector<double> kernel = motionKernel(kernelWidth, kernelHeight);
  const std::vector<double> image = randomPlanes(width, height, 3, 5);
  const Padded together = pad(image, kernel, width, height, 3, kernelWidth, kernelHeight);
  const std::size_t planeCells = static_cast<std::size_t>(width) * height;
  const std::size_t paddedCells = static_cast<std::size_t>(together.width) * together.height;
  for (int p = 0; p < 3; ++p) {
    const std::vector<double> plane(image.begin() + p * planeCells,
                                    image.begin() + (p + 1) * planeCells);
    const Padded alone = pad(plane, kernel, width, height, 1, kernelWidth, kernelHeight);
    const std::vector<double> fromTogether(together.planes.begin() + p * paddedCells,
                                           together.planes.begin() + (p + 1) * paddedCells);
    EXPECT_EQ(fromTogether, alone.planes) << "plane " << p;
  }
}

// With a largest kernel side of 3 or less there is one level: the band is
// replicated from the edges and refined by ten steps, each followed by
// putting the picture back.
TEST(PadImage, UsesOneLevelOfTenStepsForKernelsUpToThreeAcross) {
  const int width = 27, height = 22;
  const std::vector<double> image = randomPlanes(width, height, 1, 3);
  for (const auto& size : {std::pair{3, 3}, std::pair{2, 3}, std::pair{2, 2}, std::pair{1, 1}}) {
    const int kernelWidth = size.first, kernelHeight = size.second;
    const std::vector<double> kernel = motionKernel(kernelWidth, kernelHeight);
    const Padded padded = pad(image, kernel, width, height, 1, kernelWidth, kernelHeight);

    std::vector<double> expected(padded.planes.size());
    for (int y = 0; y < padded.height; ++y) {
      for (int x = 0; x < padded.width; ++x) {
        const int sy = std::clamp(y - kernelHeight, 0, height - 1);
        const int sx = std::clamp(x - kernelWidth, 0, width - 1);
        expected[y * padded.width + x] = image[sy * width + sx];
      }
    }
    PaddingSpectra spectra;
    preparePaddingSpectra(kernel.data(), padded.width, padded.height, kernelWidth, kernelHeight,
                          spectra);
    for (int step = 0; step < 10; ++step) {
      referenceStep(expected.data(), padded.width, padded.height, 0.002, 0.1, spectra);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
          expected[(y + kernelHeight) * padded.width + x + kernelWidth] = image[y * width + x];
    }
    EXPECT_LE(relativeDifference(padded.planes, expected), kReferenceTolerance)
        << kernelWidth << "x" << kernelHeight;
  }
}

TEST(PaddingStep, MatchesTheWholeSpectrumFormulationOnManyGrids) {
  for (const auto& size : {std::pair{16, 16}, std::pair{17, 23}, std::pair{30, 9},
                           std::pair{1, 12}, std::pair{41, 38}}) {
    const int cols = size.first, rows = size.second;
    const int kernelCols = std::min(cols, 5) | 1, kernelRows = std::min(rows, 7) | 1;
    const std::vector<double> kernel = motionKernel(kernelCols, kernelRows);
    PaddingSpectra spectra;
    preparePaddingSpectra(kernel.data(), cols, rows, kernelCols, kernelRows, spectra);
    std::vector<double> plane = randomPlanes(cols, rows, 1, 11);
    std::vector<double> expected = plane;
    paddingStep(plane.data(), cols, rows, 0.002, 0.1, spectra);
    referenceStep(expected.data(), cols, rows, 0.002, 0.1, spectra);
    EXPECT_LE(relativeDifference(plane, expected), kReferenceTolerance) << cols << "x" << rows;
  }
}

TEST(PadImage, GivesTheSameBytesWhateverTheThreadCount) {
  const int width = 41, height = 33, kernelSide = 9;
  const std::vector<double> image = randomPlanes(width, height, 3, 12);
  const std::vector<double> kernel = motionKernel(kernelSide, kernelSide);
  setThreadCount(1);
  const Padded serial = pad(image, kernel, width, height, 3, kernelSide, kernelSide);
  setThreadCount(3);
  const Padded threaded = pad(image, kernel, width, height, 3, kernelSide, kernelSide);
  setThreadCount(defaultThreadCount());
  EXPECT_EQ(serial.planes, threaded.planes);
}

// Mean absolute step between the last and the first column and between the
// last and the first row: the jumps that circular convolution sees.
double wrapAroundStep(const std::vector<double>& plane, int width, int height) {
  double sum = 0.0;
  for (int y = 0; y < height; ++y)
    sum += std::fabs(plane[y * width + width - 1] - plane[y * width]);
  for (int x = 0; x < width; ++x) sum += std::fabs(plane[(height - 1) * width + x] - plane[x]);
  return sum / (width + height);
}

TEST(PadImage, JoinsOppositeBordersSmoothly) {
  // Dark top-left, bright bottom-right: the bare picture wraps around with
  // a jump of about 0.3 on every side.
  const int width = 48, height = 40, kernelSide = 9;
  std::vector<double> image(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image[y * width + x] = 0.2 + 0.6 * (x + y) / (width + height - 2.0);
  const Padded padded =
      pad(image, motionKernel(kernelSide, kernelSide), width, height, 1, kernelSide, kernelSide);
  const double bare = wrapAroundStep(image, width, height);
  const double joined = wrapAroundStep(padded.planes, padded.width, padded.height);
  // Edge replication alone keeps the bare jump; the refined band leaves
  // about a twentieth of it (0.016 of 0.30), so a tenth is a safe bound.
  EXPECT_GT(bare, 0.25);
  EXPECT_LT(joined, 0.1 * bare);
}

TEST(PaddingSpectra, HoldTheKernelPowerAndTheDerivativeSpectra) {
  const int rows = 12, cols = 10;
  const std::vector<double> kernel = {0.25, 0.5, 0.25};
  PaddingSpectra spectra;
  preparePaddingSpectra(kernel.data(), cols, rows, 3, 1, spectra);
  EXPECT_EQ(spectra.rows, rows);
  EXPECT_EQ(spectra.cols, cols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * cols + c;
      // The centred kernel 1/4, 1/2, 1/4 along the rows has the real
      // spectrum 1/2 + 1/2 cos(2 pi c / cols).
      const double k = 0.5 + 0.5 * std::cos(kTwoPi * c / cols);
      EXPECT_NEAR(spectra.kernelSpectrum[i][0], k, kSpectrumTolerance);
      EXPECT_NEAR(spectra.kernelSpectrum[i][1], 0.0, kSpectrumTolerance);
      EXPECT_NEAR(spectra.kernelPower[i][0], k * k, kSpectrumTolerance);
      EXPECT_EQ(spectra.kernelPower[i][1], 0.0);
      const double g = 4.0 - 2.0 * std::cos(kTwoPi * c / cols) - 2.0 * std::cos(kTwoPi * r / rows);
      EXPECT_NEAR(spectra.gradientPower[i][0], g, kSpectrumTolerance);
      EXPECT_GE(spectra.derivativeWeight[i][0], 1.0);
    }
  }
  EXPECT_NEAR(spectra.derivativeWeight[0][0], 1.0, kSpectrumTolerance);
}

TEST(PaddingStep, GivesFiniteValuesForAKernelSummingToZero) {
  const int rows = 16, cols = 20;
  const std::vector<double> kernel = {1.0, -2.0, 1.0};
  std::vector<double> plane = randomPlanes(cols, rows, 1, 9);
  PaddingSpectra spectra;
  preparePaddingSpectra(kernel.data(), cols, rows, 3, 1, spectra);
  paddingStep(plane.data(), cols, rows, 0.002, 0.1, spectra);
  for (double v : plane) {
    ASSERT_TRUE(std::isfinite(v));
    ASSERT_GE(v, 0.0);
    ASSERT_LE(v, 1.0);
  }
}

TEST(PadImage, GivesFiniteValuesForAKernelSummingToZero) {
  const int width = 20, height = 18;
  const std::vector<double> kernel = {0.5, 0.0, -1.0, 0.0, 0.5};
  const Padded padded = pad(randomPlanes(width, height, 1, 4), kernel, width, height, 1, 5, 1);
  for (double v : padded.planes) ASSERT_TRUE(std::isfinite(v));
}

// A canvas that wraps smoothly: one period of a gentle wave each way.
std::vector<double> periodicCanvas(int rows, int cols) {
  std::vector<double> canvas(static_cast<std::size_t>(rows) * cols);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      canvas[static_cast<std::size_t>(y) * cols + x] =
          0.5 + 0.3 * std::sin(kTwoPi * x / cols) * std::cos(kTwoPi * y / rows);
    }
  }
  return canvas;
}

// Largest jump between neighbours of a rows x cols plane, across its
// wrap-around included.
double largestCircularStep(const std::vector<double>& plane, int rows, int cols) {
  double step = 0.0;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const double v = plane[static_cast<std::size_t>(y) * cols + x];
      step = std::max(step, std::fabs(plane[static_cast<std::size_t>(y) * cols + (x + 1) % cols] - v));
      step = std::max(step, std::fabs(plane[static_cast<std::size_t>((y + 1) % rows) * cols + x] - v));
    }
  }
  return step;
}

TEST(BridgeAcrossWrap, KeepsTheCanvasInTheCornerAndStaysInItsRange) {
  const int rows = 23, cols = 31, wideRows = 30, wideCols = 40;
  const std::vector<double> canvas = randomPlanes(cols, rows, 1, 12);
  std::vector<double> wide(static_cast<std::size_t>(wideRows) * wideCols, -1.0);
  bridgeAcrossWrap(canvas.data(), rows, cols, wide.data(), wideRows, wideCols);
  const auto [low, high] = std::minmax_element(canvas.begin(), canvas.end());
  for (int y = 0; y < wideRows; ++y) {
    for (int x = 0; x < wideCols; ++x) {
      const double v = wide[static_cast<std::size_t>(y) * wideCols + x];
      if (y < rows && x < cols) {
        ASSERT_EQ(v, canvas[static_cast<std::size_t>(y) * cols + x]);
      }
      ASSERT_GE(v, *low);
      ASSERT_LE(v, *high);
    }
  }
}

TEST(BridgeAcrossWrap, CopiesACanvasOfTheSameSizeUnchanged) {
  const std::vector<double> canvas = randomPlanes(9, 7, 1, 13);
  std::vector<double> wide(canvas.size(), -1.0);
  bridgeAcrossWrap(canvas.data(), 7, 9, wide.data(), 7, 9);
  EXPECT_EQ(wide, canvas);
}

TEST(BridgeAcrossWrap, KeepsASmoothlyWrappingCanvasSmoothAcrossTheWiderWrap) {
  // Gaps from one line up to wider than the canvas itself.
  for (const int gap : {1, 6, 40}) {
    const int rows = 36, cols = 28;
    const std::vector<double> canvas = periodicCanvas(rows, cols);
    std::vector<double> wide(static_cast<std::size_t>(rows + gap) * (cols + gap));
    bridgeAcrossWrap(canvas.data(), rows, cols, wide.data(), rows + gap, cols + gap);
    // The fade between two smooth copies adds little; a gap filled with a
    // constant, or with the canvas simply repeated, meets one of the
    // canvas's edges with a jump of up to 0.3.
    EXPECT_LE(largestCircularStep(wide, rows + gap, cols + gap),
              1.5 * largestCircularStep(canvas, rows, cols))
        << "gap " << gap;
  }
}

TEST(PaddedPicture, WidensEachPlaneAsPadImageAndBridgeAcrossWrapDoAndCropsItBack) {
  const int width = 37, height = 29, planes = 3, kernelWidth = 7, kernelHeight = 5;
  const std::vector<double> image = randomPlanes(width, height, planes, 21);
  const std::vector<double> kernel = motionKernel(kernelWidth, kernelHeight);
  const PaddingWeights weights = {0.05, 0.01};
  const PaddedPicture picture(image.data(), kernel.data(), width, height, planes, kernelWidth,
                              kernelHeight, weights);
  const Padded padded =
      pad(image, kernel, width, height, planes, kernelWidth, kernelHeight, weights);
  // The weights reach the band.
  ASSERT_NE(padded.planes,
            pad(image, kernel, width, height, planes, kernelWidth, kernelHeight).planes);
  EXPECT_EQ(picture.wideRows(), fastTransformLength(padded.height));
  EXPECT_EQ(picture.wideCols(), fastTransformLength(padded.width));
  ASSERT_EQ(picture.wideCells(),
            static_cast<std::size_t>(picture.wideRows()) * picture.wideCols());
  const std::size_t paddedCells = static_cast<std::size_t>(padded.width) * padded.height;
  std::vector<double> cropped(image.size(), -1.0);
  for (int p = 0; p < planes; ++p) {
    std::vector<double> expected(picture.wideCells());
    bridgeAcrossWrap(padded.planes.data() + paddedCells * p, padded.height, padded.width,
                     expected.data(), picture.wideRows(), picture.wideCols());
    std::vector<double> wide(picture.wideCells(), -1.0);
    picture.widen(p, wide.data());
    EXPECT_EQ(wide, expected) << "plane " << p;
    picture.crop(wide.data(), p, cropped.data());
  }
  EXPECT_EQ(cropped, image);
}

}  // namespace
}  // namespace kestrel
