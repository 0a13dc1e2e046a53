#include "deblur/noise_estimate.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Half a step of 8-bit quantisation from either end: a sample this close to
// 0 or 1 was most likely clipped, and its neighbours' noise with it.
constexpr double kDarkLimit = 0.5 / 255.0;
constexpr double kBrightLimit = 1.0 - 0.5 / 255.0;

// Share of the unclipped pixels, smoothest first, whose residuals are
// measured. For Gaussian noise the gradient is independent of the residual
// (the Sobel masks are odd, the residual mask even), so a smaller share
// costs only pixels, not accuracy. On a picture crowded with small edged
// shapes and weak noise, keeping half let the edges raise the estimate by a
// fifth; three tenths kept it within 1 %.
constexpr double kSmoothShare = 0.3;

// The residual mask's gain on white noise (the root of the sum of its
// squared taps) times the median of |x| for a standard normal x.
constexpr double kResidualGain = 6.0;
constexpr double kMedianAbsoluteNormal = 0.6744897501960817;

// Rows of pixels handed to one thread at a time.
constexpr int kRowGrain = 32;

constexpr float kExcluded = std::numeric_limits<float>::infinity();

struct Response {
  bool usable = false;
  float gradient = 0.0f;  // squared Sobel magnitude
  float residual = 0.0f;  // absolute residual of the mask
};

// The pixel at (r, c), which must have all eight neighbours. Both passes
// call this one function, so the gradient compared with the threshold in the
// second is bit for bit the one ranked in the first.
Response respond(const double* plane, int cols, int r, int c) {
  const double* above = plane + static_cast<std::size_t>(r - 1) * cols + c;
  const double* middle = above + cols;
  const double* below = middle + cols;
  const double s00 = above[-1], s01 = above[0], s02 = above[1];
  const double s10 = middle[-1], s11 = middle[0], s12 = middle[1];
  const double s20 = below[-1], s21 = below[0], s22 = below[1];
  Response response;
  for (double v : {s00, s01, s02, s10, s11, s12, s20, s21, s22}) {
    // Written so that a NaN counts as clipped.
    if (!(v > kDarkLimit && v < kBrightLimit)) return response;
  }
  const double across = (s02 + 2.0 * s12 + s22) - (s00 + 2.0 * s10 + s20);
  const double down = (s20 + 2.0 * s21 + s22) - (s00 + 2.0 * s01 + s02);
  const double residual = (s00 + s02 + s20 + s22) - 2.0 * (s01 + s10 + s12 + s21) + 4.0 * s11;
  response.usable = true;
  response.gradient = static_cast<float>(across * across + down * down);
  response.residual = static_cast<float>(std::fabs(residual));
  return response;
}

// Fills values, one per interior pixel in row-major order, with pick's
// value or kExcluded, then moves the kept values to the front. Returns how
// many were kept. Every entry is written at its pixel's place whatever the
// split over the threads, and the compaction runs on one thread.
template <typename Pick>
std::size_t gather(const double* plane, int rows, int cols, std::vector<float>& values, Pick pick) {
  const int innerCols = cols - 2;
  parallelFor(1, rows - 1, kRowGrain, [&](int first, int last) {
    for (int r = first; r < last; ++r) {
      float* out = values.data() + static_cast<std::size_t>(r - 1) * innerCols;
      for (int c = 1; c < cols - 1; ++c) out[c - 1] = pick(respond(plane, cols, r, c));
    }
  });
  const auto end = std::remove(values.begin(), values.end(), kExcluded);
  return static_cast<std::size_t>(end - values.begin());
}

// The k-th smallest (zero-based) of the first count values; reorders them.
float kthSmallest(std::vector<float>& values, std::size_t count, std::size_t k) {
  const auto end = values.begin() + static_cast<std::ptrdiff_t>(count);
  const auto nth = values.begin() + static_cast<std::ptrdiff_t>(k);
  std::nth_element(values.begin(), nth, end);
  return *nth;
}

}  // namespace

double estimateNoiseSigma(const double* plane, int rows, int cols) {
  if (rows < 3 || cols < 3) return 0.0;
  std::vector<float> values(static_cast<std::size_t>(rows - 2) * (cols - 2));

  const std::size_t usable = gather(plane, rows, cols, values, [](const Response& p) {
    return p.usable ? p.gradient : kExcluded;
  });
  if (usable == 0) return 0.0;
  const auto smooth = static_cast<std::size_t>(std::ceil(kSmoothShare * usable));
  const float threshold = kthSmallest(values, usable, smooth - 1);

  // Every pixel tied with the threshold is kept: which of them nth_element
  // placed before it depends on the order, the set of ties does not.
  const std::size_t kept = gather(plane, rows, cols, values, [threshold](const Response& p) {
    return p.usable && p.gradient <= threshold ? p.residual : kExcluded;
  });
  assert(kept >= 1);
  const double median = kthSmallest(values, kept, kept / 2);
  return median / (kMedianAbsoluteNormal * kResidualGain);
}

double estimatePictureNoise(const double* planes, int height, int width, int channels) {
  assert(channels == 1 || channels == 3);
  if (channels == 1 || height < 3 || width < 3) return estimateNoiseSigma(planes, height, width);
  const std::size_t count = static_cast<std::size_t>(height) * width;
  std::vector<double> grey(count);
  parallelFor(0, height, kRowGrain, [&](int first, int last) {
    for (std::size_t k = static_cast<std::size_t>(first) * width;
         k < static_cast<std::size_t>(last) * width; ++k) {
      grey[k] = 0.2989 * planes[k] + 0.587 * planes[count + k] + 0.114 * planes[2 * count + k];
    }
  });
  return estimateNoiseSigma(grey.data(), height, width);
}

}  // namespace kestrel
