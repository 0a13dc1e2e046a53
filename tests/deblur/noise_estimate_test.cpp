#include "deblur/noise_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "parallel/parallel.h"
#include "tests/support/synthetic_scene.h"

namespace kestrel {
namespace {

using Plane = std::vector<double>;

// How far an estimate may stray from the noise that was added.
constexpr double kRelativeTolerance = 0.2;

// A noise-free picture leaves only rounding and the few edge pixels that
// pass the gradient selection; a tenth of the weakest noise measured is far
// above that and far below any real noise.
constexpr double kNoiseFreeCeiling = 0.0002;

// Rounding in the residual of shading along rows and columns: a few ulps of
// samples below 1, times the mask's taps.
constexpr double kRoundingCeiling = 1e-14;

// The bundled sample carries Gaussian noise of this deviation and 8-bit
// rounding, whose error is uniform over one step.
constexpr double kSampleNoise = 0.005;
const double kQuantisationNoise = 1.0 / (255.0 * std::sqrt(12.0));

// Weights of the grey picture.
constexpr double kRedWeight = 0.2989;
constexpr double kGreenWeight = 0.587;
constexpr double kBlueWeight = 0.114;

const std::vector<double> kSigmas = {0.002, 0.005, 0.01, 0.02};

constexpr int kSceneSide = 320;
constexpr int kSceneBlurSize = 9;

// The synthetic scene with its steps softened by a camera-shake kernel: flat
// areas, gentle shading and edges in every direction.
Plane smoothScene() {
  const Plane sharp = testing::sharpScene(kSceneSide, kSceneSide);
  return testing::circularBlur(sharp, kSceneSide, kSceneSide, testing::shakeKernel(kSceneBlurSize),
                               kSceneBlurSize, kSceneBlurSize);
}

// kSceneSide squared samples crowded with small discs of random grey
// levels, softened by a 3 x 3 kernel: edges reach most pixels, which is
// where leaving out the steep ones matters.
constexpr int kDiscCount = 1600;

Plane crowdedScene() {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Plane sharp(static_cast<std::size_t>(kSceneSide) * kSceneSide, 0.5);
  for (int k = 0; k < kDiscCount; ++k) {
    const double centreRow = kSceneSide * unit(random);
    const double centreCol = kSceneSide * unit(random);
    const double radius = 2.0 + 10.0 * unit(random);
    const double level = 0.1 + 0.8 * unit(random);
    const int top = std::max(0, static_cast<int>(centreRow - radius));
    const int bottom = std::min(kSceneSide - 1, static_cast<int>(centreRow + radius));
    const int left = std::max(0, static_cast<int>(centreCol - radius));
    const int right = std::min(kSceneSide - 1, static_cast<int>(centreCol + radius));
    for (int r = top; r <= bottom; ++r) {
      for (int c = left; c <= right; ++c) {
        if (std::hypot(r - centreRow, c - centreCol) < radius) {
          sharp[static_cast<std::size_t>(r) * kSceneSide + c] = level;
        }
      }
    }
  }
  return testing::circularBlur(sharp, kSceneSide, kSceneSide, testing::shakeKernel(3), 3, 3);
}

Plane withNoise(Plane plane, double sigma, unsigned seed) {
  testing::addNoise(plane, sigma, seed);
  return plane;
}

// Normalised Gaussian taps of deviation spread, three deviations each way.
std::vector<double> gaussianTaps(double spread) {
  const int reach = static_cast<int>(std::ceil(3.0 * spread));
  std::vector<double> taps;
  double sum = 0.0;
  for (int k = -reach; k <= reach; ++k) {
    taps.push_back(std::exp(-0.5 * k * k / (spread * spread)));
    sum += taps.back();
  }
  for (double& tap : taps) tap /= sum;
  return taps;
}

// Separable blur of a rows x cols plane with the given odd taps, the border
// samples repeated outward.
Plane separableBlur(const Plane& plane, int rows, int cols, const std::vector<double>& taps) {
  const int reach = static_cast<int>(taps.size()) / 2;
  Plane across(plane.size(), 0.0);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      for (int k = -reach; k <= reach; ++k) {
        const int source = std::clamp(c + k, 0, cols - 1);
        across[static_cast<std::size_t>(r) * cols + c] +=
            taps[k + reach] * plane[static_cast<std::size_t>(r) * cols + source];
      }
    }
  }
  Plane out(plane.size(), 0.0);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      for (int k = -reach; k <= reach; ++k) {
        const int source = std::clamp(r + k, 0, rows - 1);
        out[static_cast<std::size_t>(r) * cols + c] +=
            taps[k + reach] * across[static_cast<std::size_t>(source) * cols + c];
      }
    }
  }
  return out;
}

// The bundled photograph blurred further, in doubles, so that its own noise
// and rounding are mostly averaged away: added noise is then measured on
// real content instead of on 8-bit steps. residualNoise is what remains of
// the photograph's own noise in each plane.
struct Photograph {
  LoadedPlanes image;
  double residualNoise = 0.0;
};

constexpr double kPhotographBlur = 2.0;

Photograph blurredPhotograph() {
  Photograph photo;
  std::string error;
  const std::string path = std::string(KESTREL_SOURCE_DIR) + "/samples/astronaut_blurred.png";
  EXPECT_TRUE(loadImagePlanes(path, photo.image, error)) << error;
  EXPECT_EQ(photo.image.channels, 3);
  const std::vector<double> taps = gaussianTaps(kPhotographBlur);
  const int rows = photo.image.height;
  const int cols = photo.image.width;
  const std::size_t count = static_cast<std::size_t>(rows) * cols;
  for (int channel = 0; channel < photo.image.channels; ++channel) {
    const auto begin = photo.image.planes.begin() + static_cast<std::ptrdiff_t>(channel * count);
    const Plane blurred =
        separableBlur(Plane(begin, begin + static_cast<std::ptrdiff_t>(count)), rows, cols, taps);
    std::copy(blurred.begin(), blurred.end(), begin);
  }
  // White noise through a separable blur keeps the sum of the squared
  // one-dimensional taps as its deviation's factor.
  double gain = 0.0;
  for (double tap : taps) gain += tap * tap;
  photo.residualNoise =
      gain * std::sqrt(kSampleNoise * kSampleNoise + kQuantisationNoise * kQuantisationNoise);
  return photo;
}

Plane channelOf(const LoadedPlanes& image, int channel) {
  const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
  const auto begin = image.planes.begin() + static_cast<std::ptrdiff_t>(channel * count);
  return Plane(begin, begin + static_cast<std::ptrdiff_t>(count));
}

double inQuadrature(double a, double b) { return std::sqrt(a * a + b * b); }

void expectNear(double estimate, double truth, double sigma) {
  EXPECT_NEAR(estimate / truth, 1.0, kRelativeTolerance)
      << "added " << sigma << ", expected " << truth << ", estimated " << estimate;
}

TEST(NoiseOfAPlane, IsRecoveredOnASmoothSceneWithEdges) {
  const Plane scene = smoothScene();
  unsigned seed = 11;
  for (double sigma : kSigmas) {
    const Plane noisy = withNoise(scene, sigma, seed++);
    expectNear(estimateNoiseSigma(noisy.data(), kSceneSide, kSceneSide), sigma, sigma);
  }
}

TEST(NoiseOfAPlane, IsRecoveredOnAPictureCrowdedWithSmallShapes) {
  const Plane scene = crowdedScene();
  unsigned seed = 15;
  for (double sigma : kSigmas) {
    const Plane noisy = withNoise(scene, sigma, seed++);
    expectNear(estimateNoiseSigma(noisy.data(), kSceneSide, kSceneSide), sigma, sigma);
  }
}

TEST(NoiseOfAPlane, IsRecoveredOnABlurredPhotograph) {
  const Photograph photo = blurredPhotograph();
  const Plane green = channelOf(photo.image, 1);
  unsigned seed = 21;
  for (double sigma : kSigmas) {
    const Plane noisy = withNoise(green, sigma, seed++);
    expectNear(estimateNoiseSigma(noisy.data(), photo.image.height, photo.image.width),
               inQuadrature(sigma, photo.residualNoise), sigma);
  }
}

TEST(NoiseOfAPlane, IsNearZeroOnANoiseFreeSmoothScene) {
  const Plane scene = smoothScene();
  const double estimate = estimateNoiseSigma(scene.data(), kSceneSide, kSceneSide);
  EXPECT_GE(estimate, 0.0);
  EXPECT_LT(estimate, kNoiseFreeCeiling);
}

TEST(NoiseOfAPlane, IgnoresShadingThatVariesAlongRowsAndColumnsSeparately) {
  // Sharp, random profiles: every pixel has a large gradient, yet the
  // residual of f(row) + g(column) vanishes.
  constexpr int kRows = 40;
  constexpr int kCols = 50;
  std::mt19937 random(5);
  std::uniform_real_distribution<double> level(0.05, 0.45);
  std::vector<double> down(kRows), across(kCols);
  for (double& v : down) v = level(random);
  for (double& v : across) v = level(random);
  Plane plane(static_cast<std::size_t>(kRows) * kCols);
  for (int r = 0; r < kRows; ++r) {
    for (int c = 0; c < kCols; ++c)
      plane[static_cast<std::size_t>(r) * kCols + c] = down[r] + across[c];
  }
  EXPECT_LT(estimateNoiseSigma(plane.data(), kRows, kCols), kRoundingCeiling);
}

TEST(NoiseOfAPlane, IsNotDraggedDownByLargeClippedAreas) {
  constexpr double kSigma = 0.01;
  Plane noisy = withNoise(smoothScene(), kSigma, 31);
  // Two fifths black and two fifths white: without leaving them out, the
  // smoother half of the pixels would be clipped ones, with no residual.
  for (int r = 0; r < kSceneSide; ++r) {
    for (int c = 0; c < kSceneSide; ++c) {
      double& v = noisy[static_cast<std::size_t>(r) * kSceneSide + c];
      if (c < 2 * kSceneSide / 5) v = 0.0;
      if (c >= 3 * kSceneSide / 5) v = 1.0;
    }
  }
  expectNear(estimateNoiseSigma(noisy.data(), kSceneSide, kSceneSide), kSigma, kSigma);
}

TEST(NoiseOfAPlane, TreatsSamplesWithinHalfAStepOfTheEndsAsClipped) {
  constexpr int kSide = 64;
  constexpr double kDarkLimit = 0.5 / 255.0;
  constexpr double kBrightLimit = 1.0 - 0.5 / 255.0;
  // A checkerboard between 0.5 and an end has a residual of about 4 at
  // every pixel, a deviation near 1.
  constexpr double kCheckerboardFloor = 0.5;
  const Plane noise = withNoise(Plane(kSide * kSide, 0.5), 0.01, 41);
  // Half the samples, in a checkerboard, at the given level: every 3 x 3
  // neighbourhood holds some.
  const auto checkered = [&](double level) {
    Plane plane = noise;
    for (int r = 0; r < kSide; ++r) {
      for (int c = (r % 2); c < kSide; c += 2) plane[r * kSide + c] = level;
    }
    return estimateNoiseSigma(plane.data(), kSide, kSide);
  };
  EXPECT_EQ(checkered(kDarkLimit), 0.0);
  EXPECT_EQ(checkered(kBrightLimit), 0.0);
  EXPECT_EQ(checkered(std::numeric_limits<double>::quiet_NaN()), 0.0);
  constexpr double kJustInside = 1e-9;
  EXPECT_GT(checkered(kDarkLimit + kJustInside), kCheckerboardFloor);
  EXPECT_GT(checkered(kBrightLimit - kJustInside), kCheckerboardFloor);
}

TEST(NoiseOfAPlane, IsZeroForPlanesSmallerThanThreeByThree) {
  const Plane samples(16, 0.3);
  EXPECT_EQ(estimateNoiseSigma(nullptr, 0, 0), 0.0);
  EXPECT_EQ(estimateNoiseSigma(samples.data(), 1, 1), 0.0);
  EXPECT_EQ(estimateNoiseSigma(samples.data(), 2, 8), 0.0);
  EXPECT_EQ(estimateNoiseSigma(samples.data(), 8, 2), 0.0);
  EXPECT_EQ(estimatePictureNoise(nullptr, 0, 0, 3), 0.0);
  EXPECT_EQ(estimatePictureNoise(samples.data(), 2, 2, 3), 0.0);
}

TEST(NoiseOfAPlane, MeasuresTheOnePixelOfAThreeByThreePlane) {
  // A bump of 0.25 in the middle leaves a residual of 4 x 0.25 at the
  // centre, the only pixel with eight neighbours; Gaussian noise has a
  // median absolute value of 0.6745 deviations, and the mask a gain of 6.
  constexpr double kMedianAbsoluteNormal = 0.6744897501960817;
  constexpr double kUlps = 1e-12;
  Plane plane(9, 0.25);
  plane[4] = 0.5;
  EXPECT_NEAR(estimateNoiseSigma(plane.data(), 3, 3), 1.0 / (6.0 * kMedianAbsoluteNormal), kUlps);
}

TEST(NoiseOfAPlane, IsZeroForFlatOrWhollyClippedPlanes) {
  for (double level : {0.0, 0.5, 1.0}) {
    const Plane flat(30 * 20, level);
    const double estimate = estimateNoiseSigma(flat.data(), 30, 20);
    EXPECT_EQ(estimate, 0.0) << level;
    EXPECT_FALSE(std::isnan(estimate));
  }
}

TEST(NoiseOfAPlane, DoesNotDependOnTheNumberOfThreads) {
  const int saved = threadCount();
  const Plane noisy = withNoise(smoothScene(), 0.01, 51);
  setThreadCount(1);
  const double alone = estimateNoiseSigma(noisy.data(), kSceneSide, kSceneSide);
  for (int threads : {2, 3, 7}) {
    setThreadCount(threads);
    EXPECT_EQ(estimateNoiseSigma(noisy.data(), kSceneSide, kSceneSide), alone) << threads;
  }
  setThreadCount(saved);
}

TEST(NoiseOfAPicture, OfOnePlaneIsThatOfThePlane) {
  const Plane noisy = withNoise(smoothScene(), 0.005, 61);
  EXPECT_EQ(estimatePictureNoise(noisy.data(), kSceneSide, kSceneSide, 1),
            estimateNoiseSigma(noisy.data(), kSceneSide, kSceneSide));
}

TEST(NoiseOfAPicture, OfColourIsThatOfItsGreyImage) {
  // Independent noise of sigma in each colour, like the photograph's own,
  // reaches the grey image scaled by the root of the summed squared
  // weights; the same noise in all three by the summed weights.
  const double independentGain =
      std::sqrt(kRedWeight * kRedWeight + kGreenWeight * kGreenWeight + kBlueWeight * kBlueWeight);
  const double sharedGain = kRedWeight + kGreenWeight + kBlueWeight;
  const Photograph photo = blurredPhotograph();
  const int rows = photo.image.height;
  const int cols = photo.image.width;
  const std::size_t count = static_cast<std::size_t>(rows) * cols;
  unsigned seed = 71;
  for (double sigma : kSigmas) {
    Plane independent;
    for (int channel = 0; channel < 3; ++channel) {
      const Plane noisy = withNoise(channelOf(photo.image, channel), sigma, seed++);
      independent.insert(independent.end(), noisy.begin(), noisy.end());
    }
    expectNear(estimatePictureNoise(independent.data(), rows, cols, 3),
               independentGain * inQuadrature(sigma, photo.residualNoise), sigma);

    std::mt19937 random(seed++);
    std::normal_distribution<double> noise(0.0, sigma);
    Plane shared = photo.image.planes;
    for (std::size_t k = 0; k < count; ++k) {
      const double n = noise(random);
      for (int channel = 0; channel < 3; ++channel) {
        double& v = shared[channel * count + k];
        v = std::clamp(v + n, 0.0, 1.0);
      }
    }
    expectNear(estimatePictureNoise(shared.data(), rows, cols, 3),
               inQuadrature(sharedGain * sigma, independentGain * photo.residualNoise), sigma);
  }
}

}  // namespace
}  // namespace kestrel
