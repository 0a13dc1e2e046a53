#include "prediction/prediction_engine.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>

#include "fourier/filter2d.h"
#include "parallel/parallel.h"
#include "prediction/filter_kernels.h"
#include "prediction/shock_filter.h"

namespace kestrel {
namespace {

// Orientations are folded with pi rounded to single precision, and the bins
// of the gradient threshold are its quarters evaluated in double.
constexpr double kSinglePi = 3.1415927410125732;
constexpr double kSinglePiQuarter = 0.7853981852531433;
constexpr double kSinglePiHalf = 1.5707963705062866;
constexpr double kSinglePiThreeQuarters = 2.35619455575943;

// Coherence bins split the unfolded angle at this rounded right angle.
constexpr double kCoherenceRightAngle = 1.5708;

// Quadrant edges of the unfolded angle used per plane by predictPlanes.
constexpr double kQuadrantLow = -1.5707963267948977;
constexpr double kQuadrantHigh = 1.5707963267948966;

// The derived coherence threshold never exceeds this, so a level whose map is
// coherent everywhere still keeps a mask that passes the coherent edges.
constexpr double kCoherenceCeiling = 0.05;
// The coherence threshold shrinks by this fixed factor after every use.
constexpr double kCoherenceDecay = 0.7;
// coherenceThreshold below this (strictly) asks for derivation.
constexpr double kDeriveCoherenceBelow = -10.0;

constexpr int kGaussianSize = 5;

using Bins = std::array<std::vector<double>, 4>;

// Pixels handed to one thread at a time.
constexpr int kPixelGrain = 1 << 14;

// Calls pixel(i) for every i in [0, count), spread over the threads; every
// call must be independent of the others.
template <typename Pixel>
void forEachPixel(std::size_t count, const Pixel& pixel) {
  const std::size_t chunks = (count + kPixelGrain - 1) / kPixelGrain;
  parallelFor(0, static_cast<int>(chunks), 1, [&](int first, int last) {
    const std::size_t end = std::min(count, static_cast<std::size_t>(last) * kPixelGrain);
    for (std::size_t i = static_cast<std::size_t>(first) * kPixelGrain; i < end; ++i) pixel(i);
  });
}

void filterPlane(const double* input, double* output, int width, int height, const double* kernel,
                 int kernelWidth, int kernelHeight, int boundaryMode, int filterMode) {
  FilterParams params;
  params.input = input;
  params.output = output;
  params.width = width;
  params.height = height;
  params.scale = 1.0;
  params.kernel = kernel;
  params.kernelWidth = kernelWidth;
  params.kernelHeight = kernelHeight;
  params.boundaryMode = boundaryMode;
  params.filterMode = filterMode;
  filter2D(params);
}

// Zero outside the picture and no renormalisation: the borders darken, which
// keeps spurious edges there weak.
void smoothPlane(const double* input, double* output, int width, int height,
                 const std::vector<double>& gaussian) {
  filterPlane(input, output, width, height, gaussian.data(), kGaussianSize, kGaussianSize,
              kBoundaryZero, kFilterConvolution);
}

// gx(x, y) = S(x+1, y) - S(x, y) and gy(x, y) = S(x, y+1) - S(x, y); the
// replicated border makes the last column of gx and last row of gy 0.
void forwardDifferences(const double* plane, double* gx, double* gy, int width, int height) {
  const double taps[3] = {0.0, -1.0, 1.0};
  filterPlane(plane, gx, width, height, taps, 3, 1, kBoundaryReplicate, kFilterCorrelation);
  filterPlane(plane, gy, width, height, taps, 1, 3, kBoundaryReplicate, kFilterCorrelation);
}

// The smallest over the bins of each bin's k-th largest value. An empty bin
// has no such value and takes no part; with every bin empty the result is 0.
double smallestKthLargest(Bins& bins, int k) {
  double smallest = std::numeric_limits<double>::infinity();
  bool any = false;
  for (std::vector<double>& bin : bins) {
    if (bin.empty()) continue;
    const double value = CImageMyPredictionEngine::selectKthLargest(
        bin.data(), 0, static_cast<int>(bin.size()) - 1, k);
    smallest = any ? std::min(smallest, value) : value;
    any = true;
  }
  return any ? smallest : 0.0;
}

int foldedOrientationBin(double gx, double gy) {
  double theta = std::atan2(gy, gx);
  if (theta < 0.0) theta += kSinglePi;
  if (theta < kSinglePiQuarter) return 0;
  if (theta < kSinglePiHalf) return 1;
  if (theta < kSinglePiThreeQuarters) return 2;
  return 3;
}

int coherenceBin(double dx, double dy) {
  const double phi = std::atan2(dy, dx);
  if (phi < -kCoherenceRightAngle) return 0;
  if (phi < 0.0) return 1;
  if (phi < kCoherenceRightAngle) return 2;
  return 3;
}

int quadrantBin(double gx, double gy) {
  const double phi = std::atan2(gy, gx);
  if (phi < kQuadrantLow) return 0;
  if (phi < 0.0) return 1;
  if (phi < kQuadrantHigh) return 2;
  return 3;
}

// The rank of the gradient threshold: twice the larger kernel side.
int gradientRank(int kernelWidth, int kernelHeight) {
  return std::max(2 * std::max(kernelWidth, kernelHeight), 1);
}

// Clears every pixel whose magnitude is <= threshold (a NaN magnitude keeps
// its gradient).
void clearWeakGradients(const double* magnitude, double threshold, double* gx, double* gy,
                        std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (magnitude[i] <= threshold) {
      gx[i] = 0.0;
      gy[i] = 0.0;
    }
  }
}

}  // namespace

void CImageMyPredictionEngine::init(const PredictionParams& params) {
  latent = params.latent;
  width = params.width;
  height = params.height;
  planes = params.planes;
  kernelWidth = params.kernelWidth;
  kernelHeight = params.kernelHeight;
  shockIterations = params.shockIterations;
  sigma = params.sigma;
  decay = params.decay;
  std::copy(params.gradThreshold, params.gradThreshold + 3, gradThreshold);
  shockStep = params.shockStep;
  shockScale = params.shockScale;
}

void CImageMyPredictionEngine::init(const PredictionParams& params, const double* map,
                                    double rankWeight) {
  init(params);
  coherenceThreshold = params.coherenceThreshold;
  coherenceMap = map;
  weight = rankWeight;
}

void CImageMyPredictionEngine::predict() {
  const std::size_t count = static_cast<std::size_t>(width) * height;
  // Every stage below writes each element of its plane, so the planes of
  // the previous prediction are reused without clearing.
  gradX.resize(count);
  gradY.resize(count);
  std::vector<double>& smoothed = smoothed_;
  std::vector<double>& shocked = shocked_;
  std::vector<double>& mask = mask_;
  std::vector<double>& magnitude = magnitude_;
  smoothed.resize(count);
  shocked.resize(count);
  mask.resize(count);
  magnitude.resize(count);

  // Each stage uses the value present at the start of the prediction.
  const std::vector<double> gaussian = makeGaussianKernel(kGaussianSize, kGaussianSize, sigma);
  smoothPlane(latent, smoothed.data(), width, height, gaussian);
  sigma = sigma * decay;
  shockFilter(smoothed.data(), shocked.data(), width, height, shockIterations, shockStep,
              shockScale);
  shockStep = decay * shockStep;
  forwardDifferences(shocked.data(), gradX.data(), gradY.data(), width, height);

  computeCoherenceMask(mask.data());
  coherenceThreshold = coherenceThreshold * kCoherenceDecay;
  // The mask scales the magnitude, not the gradients: a masked pixel has
  // magnitude 0 and is cleared because a derived threshold is never negative.
  const bool derive = gradThreshold[0] <= 0.0;
  std::vector<unsigned char> bin(derive ? count : 0);
  forEachPixel(count, [&](std::size_t i) {
    magnitude[i] = std::sqrt(gradX[i] * gradX[i] + gradY[i] * gradY[i]) * mask[i];
    if (derive) bin[i] = static_cast<unsigned char>(foldedOrientationBin(gradX[i], gradY[i]));
  });

  if (derive) {
    Bins bins;
    for (std::size_t i = 0; i < count; ++i) bins[bin[i]].push_back(magnitude[i]);
    gradThreshold[0] = smallestKthLargest(bins, gradientRank(kernelWidth, kernelHeight));
  }
  clearWeakGradients(magnitude.data(), gradThreshold[0], gradX.data(), gradY.data(), count);
  gradThreshold[0] = gradThreshold[0] * decay;
}

void CImageMyPredictionEngine::predictPlanes() {
  assert(planes >= 1 && planes <= 3);
  const std::size_t planeSize = static_cast<std::size_t>(width) * height;
  const std::size_t count = planeSize * planes;
  gradX.assign(count, 0.0);
  gradY.assign(count, 0.0);
  std::vector<double> smoothed(count, 0.0);
  std::vector<double> shocked(count, 0.0);

  const std::vector<double> gaussian = makeGaussianKernel(kGaussianSize, kGaussianSize, sigma);
  for (int p = 0; p < planes; ++p) {
    smoothPlane(latent + planeSize * p, smoothed.data() + planeSize * p, width, height, gaussian);
  }
  sigma = decay * sigma;
  shockFilterPlanes(smoothed.data(), shocked.data(), width, height, planes, shockIterations,
                    shockStep, shockScale);
  shockStep = decay * shockStep;

  std::vector<double> magnitude(count, 0.0);
  for (int p = 0; p < planes; ++p) {
    const std::size_t offset = planeSize * p;
    forwardDifferences(shocked.data() + offset, gradX.data() + offset, gradY.data() + offset, width,
                       height);
  }
  for (std::size_t i = 0; i < count; ++i) {
    magnitude[i] = std::sqrt(gradX[i] * gradX[i] + gradY[i] * gradY[i]);
  }

  for (int p = 0; p < planes; ++p) {
    const std::size_t offset = planeSize * p;
    if (gradThreshold[p] <= 0.0) {
      Bins bins;
      for (std::size_t i = offset; i < offset + planeSize; ++i) {
        bins[quadrantBin(gradX[i], gradY[i])].push_back(magnitude[i]);
      }
      gradThreshold[p] = smallestKthLargest(bins, gradientRank(kernelWidth, kernelHeight));
    }
    clearWeakGradients(magnitude.data() + offset, gradThreshold[p], gradX.data() + offset,
                       gradY.data() + offset, planeSize);
    gradThreshold[p] = gradThreshold[p] * decay;
  }
}

void CImageMyPredictionEngine::computeCoherenceMask(double* mask) {
  const std::size_t count = static_cast<std::size_t>(width) * height;
  if (coherenceThreshold < kDeriveCoherenceBelow) {
    std::vector<double> dx(count, 0.0);
    std::vector<double> dy(count, 0.0);
    forwardDifferences(latent, dx.data(), dy.data(), width, height);

    // The rank grows with the picture's size in kernel areas, so a larger
    // picture lets more of its most coherent pixels through.
    const double side = std::max(kernelWidth, kernelHeight);
    const double area = static_cast<double>(width) * height / kernelHeight / kernelWidth;
    const double rank = std::sqrt(area) * weight * side * side + 0.5;
    // A rank past every bin selects the bins' smallest values, so capping it
    // at the pixel count changes nothing and keeps the conversion defined.
    const double pixels = static_cast<double>(
        std::min<std::size_t>(std::max<std::size_t>(count, 1), std::numeric_limits<int>::max()));
    const double capped = std::min(rank, pixels);
    const int k = capped >= 1.0 ? static_cast<int>(capped) : 1;

    std::vector<unsigned char> bin(count);
    forEachPixel(count, [&](std::size_t i) {
      bin[i] = static_cast<unsigned char>(coherenceBin(dx[i], dy[i]));
    });
    Bins bins;
    for (std::size_t i = 0; i < count; ++i) bins[bin[i]].push_back(coherenceMap[i]);
    const double derived = smallestKthLargest(bins, k);
    coherenceThreshold = derived < kCoherenceCeiling ? derived : kCoherenceCeiling;
  }
  forEachPixel(count,
               [&](std::size_t i) { mask[i] = coherenceThreshold <= coherenceMap[i] ? 1.0 : 0.0; });
}

double CImageMyPredictionEngine::selectKthLargest(double* values, int first, int last, int k) {
  assert(first <= last && k >= 1);
  while (first < last) {
    const int i = partitionDescending(values, first, last);
    if (i + 1 == k) return values[i];
    if (i + 1 < k) {
      first = i + 1;
    } else {
      last = i - 1;
    }
  }
  return values[last];
}

int CImageMyPredictionEngine::partitionDescending(double* values, int first, int last) {
  const double pivot = values[first];
  int i = first;
  int j = last;
  while (i < j) {
    while (i < j && values[j] <= pivot) --j;
    if (i < j) values[i] = values[j];
    while (i < j && values[i] >= pivot) ++i;
    if (i < j) values[j] = values[i];
  }
  values[i] = pivot;
  return i;
}

}  // namespace kestrel
