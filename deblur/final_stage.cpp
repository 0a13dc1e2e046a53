#include "deblur/final_stage.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "deblur/noise_estimate.h"
#include "deconv/l1_tv_deconvolution.h"
#include "deconv/tv_deconvolution.h"
#include "deblur/padding.h"
#include "fourier/grid.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

using Plane = std::vector<double>;

// wtdeconv = kWeightScale sigma^kWeightExponent: the best weights found
// with true kernels on photos and kernels kept apart from those the
// benchmarks report (0.015 at sigma 0.002 through 0.3 at 0.02) lie on it.
constexpr double kWeightScale = 70.0;
constexpr double kWeightExponent = 1.4;
// Even a noise-free picture keeps some smoothness: 8-bit steps alone are
// noise of 0.0011.
constexpr double kLeastAutomaticWeight = 0.005;
// What an estimated kernel leaves unexplained, as noise of this sigma
// (added in quadrature). Levin's recorded shake, deblurred with estimated
// kernels, scores best near this, and its true kernels explain the blurred
// pictures to a residual of about the same.
constexpr double kKernelMismatchNoise = 0.005;

// The first half of deconvolvePicture: every plane of input padded for the
// kernel.
PaddedPicture padPicture(const double* input, const double* kernel, int height, int width,
                         int channels, int kheight, int kwidth,
                         const DeblurProgressCallback& progress) {
  announce("start padding image...\n", progress);
  if (progress) {
    DeblurProgress report;
    report.stage = DeblurProgress::Stage::Padding;
    report.planes = channels;
    progress(report);
  }
  return PaddedPicture(input, kernel, width, height, channels, kwidth, kheight);
}

// The second half: every plane of padded deconvolved and cropped into
// output.
bool deconvolvePadded(const PaddedPicture& padded, double* output, const double* kernel,
                      int channels, int kheight, int kwidth, double wtdeconv,
                      int deringingWeight, int denoise, const DeblurProgressCallback& progress) {
  announce("start deconvolution...\n", progress);
  const int wideRows = padded.wideRows();
  const int wideCols = padded.wideCols();
  Plane wide(padded.wideCells());
  Plane result(padded.wideCells(), 0.0);
  bool everyPlane = true;
  for (int c = 0; c < channels; ++c) {
    if (progress) {
      DeblurProgress report;
      report.stage = DeblurProgress::Stage::Deconvolution;
      report.plane = c + 1;
      report.planes = channels;
      report.done = static_cast<double>(c) / channels;
      progress(report);
    }
    padded.widen(c, wide.data());
    const bool done =
        denoise >= 1
            ? l1TvDeconvolve(wide.data(), result.data(), kernel, wideRows, wideCols,
                             kheight, kwidth, wtdeconv, deringingWeight)
            : tvDeconvolve(wide.data(), result.data(), kernel, wideRows, wideCols, kheight,
                           kwidth, wtdeconv / 100.0, deringingWeight);
    everyPlane = everyPlane && done;
    padded.crop(result.data(), c, output);
  }
  return everyPlane;
}

}  // namespace

void announce(const std::string& message, const DeblurProgressCallback& progress) {
  if (!progress) return;
  DeblurProgress report;
  report.stage = DeblurProgress::Stage::ConsoleMessage;
  report.message = message;
  progress(report);
}

Plane gammaGreyImage(const double* input, int height, int width, int channels, double gamma) {
  const std::size_t n = cellCount(height, width);
  Plane grey(n);
  const int rowGrain = 16;
  parallelFor(0, height, rowGrain, [&](int first, int last) {
    const std::size_t end = cellCount(last, width);
    for (std::size_t i = cellCount(first, width); i < end; ++i) {
      double v;
      if (channels == 1) {
        v = std::pow(input[i], gamma);
      } else {
        v = 0.2989 * std::pow(input[i], gamma);
        v += 0.587 * std::pow(input[n + i], gamma);
        v += 0.114 * std::pow(input[2 * n + i], gamma);
      }
      if (v > 1.0) v = 1.0;
      if (v < 0.0) v = 0.0;
      grey[i] = v;
    }
  });
  return grey;
}

double planeNoise(const double* input, int height, int width, int channels) {
  double sum = 0.0;
  for (int c = 0; c < channels; ++c) {
    sum += estimateNoiseSigma(input + cellCount(height, width) * c, height, width);
  }
  return sum / channels;
}

double automaticDeconvWeight(double planeNoiseSigma) {
  return std::clamp(kWeightScale * std::pow(planeNoiseSigma, kWeightExponent),
                    kLeastAutomaticWeight, 100.0);
}

double blindDeconvWeight(double planeNoiseSigma) {
  return automaticDeconvWeight(std::hypot(planeNoiseSigma, kKernelMismatchNoise));
}

bool deconvolvePicture(const double* input, double* output, int height, int width, int channels,
                       const double* kernel, int kheight, int kwidth, double wtdeconv,
                       int deringingWeight, int denoise, const DeblurProgressCallback& progress) {
  const PaddedPicture padded =
      padPicture(input, kernel, height, width, channels, kheight, kwidth, progress);
  return deconvolvePadded(padded, output, kernel, channels, kheight, kwidth, wtdeconv,
                          deringingWeight, denoise, progress);
}

}  // namespace kestrel
