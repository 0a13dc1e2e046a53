// Cost of the final stage of a run on one 1-megapixel plane: padding by a
// 31 x 31 kernel, then the deconvolution; the 7 x 7 median used by the
// ringing suppression; and the deconvolutions of the non-blind commands.
// Times are wall-clock, since the routines spread over threads; run with
// KESTREL_THREADS=1 to see the work alone.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "deblur/padding.h"
#include "deconv/hyper_laplacian.h"
#include "deconv/l1_tv_deconvolution.h"
#include "deconv/median_filter.h"
#include "deconv/tv_deconvolution.h"
#include "fourier/grid.h"

namespace kestrel {
namespace {

constexpr int kWidth = 1152;
constexpr int kHeight = 864;
constexpr int kKernelSide = 31;
constexpr int kPaddedWidth = kWidth + 2 * kKernelSide;
constexpr int kPaddedHeight = kHeight + 2 * kKernelSide;

// Smooth shading with noise on top, in [0, 1].
std::vector<double> picture(int width, int height) {
  std::mt19937 random(1);
  std::uniform_real_distribution<double> noise(-0.05, 0.05);
  std::vector<double> plane(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      plane[static_cast<std::size_t>(y) * width + x] =
          0.5 + 0.4 * std::sin(x / 37.0) * std::cos(y / 53.0) + noise(random);
    }
  }
  return plane;
}

// A diagonal stroke with a faint halo, summing to 1.
std::vector<double> kernel() {
  std::vector<double> k(kKernelSide * kKernelSide, 0.001);
  for (int i = 0; i < kKernelSide; ++i) k[i * kKernelSide + i] += 1.0;
  double sum = 0.0;
  for (double v : k) sum += v;
  for (double& v : k) v /= sum;
  return k;
}

void BM_PadImage(benchmark::State& state) {
  const std::vector<double> image = picture(kWidth, kHeight);
  const std::vector<double> k = kernel();
  std::vector<double> padded(static_cast<std::size_t>(kPaddedWidth) * kPaddedHeight);
  for (auto _ : state) {
    padImage(image.data(), padded.data(), k.data(), kWidth, kHeight, 1, kKernelSide, kKernelSide,
             kKernelSide, kKernelSide);
    benchmark::DoNotOptimize(padded.data());
  }
}
BENCHMARK(BM_PadImage)->Unit(benchmark::kMillisecond)->UseRealTime();

// Three colour planes, as the final stage pads them.
void BM_PadImageThreePlanes(benchmark::State& state) {
  const std::vector<double> plane = picture(kWidth, kHeight);
  std::vector<double> image;
  for (int p = 0; p < 3; ++p) image.insert(image.end(), plane.begin(), plane.end());
  const std::vector<double> k = kernel();
  std::vector<double> padded(static_cast<std::size_t>(kPaddedWidth) * kPaddedHeight * 3);
  for (auto _ : state) {
    padImage(image.data(), padded.data(), k.data(), kWidth, kHeight, 3, kKernelSide, kKernelSide,
             kKernelSide, kKernelSide);
    benchmark::DoNotOptimize(padded.data());
  }
}
BENCHMARK(BM_PadImageThreePlanes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The least-squares deconvolution alone with the default weights.
void BM_TvDeconvolve(benchmark::State& state) {
  const std::vector<double> padded = picture(kPaddedWidth, kPaddedHeight);
  const std::vector<double> k = kernel();
  std::vector<double> result(padded.size());
  for (auto _ : state) {
    tvDeconvolve(padded.data(), result.data(), k.data(), kPaddedHeight, kPaddedWidth, kKernelSide,
                 kKernelSide, 0.0002, 10);
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_TvDeconvolve)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same on the canvas the final stage uses: the padded plane widened to
// fast transform lengths (1250 x 960 here).
void BM_TvDeconvolveOnWidenedCanvas(benchmark::State& state) {
  const std::vector<double> padded = picture(kPaddedWidth, kPaddedHeight);
  const std::vector<double> k = kernel();
  const int rows = fastTransformLength(kPaddedHeight), cols = fastTransformLength(kPaddedWidth);
  std::vector<double> wide(static_cast<std::size_t>(rows) * cols);
  std::vector<double> result(wide.size());
  for (auto _ : state) {
    bridgeAcrossWrap(padded.data(), kPaddedHeight, kPaddedWidth, wide.data(), rows, cols);
    tvDeconvolve(wide.data(), result.data(), k.data(), rows, cols, kKernelSide, kKernelSide, 0.0002,
                 10);
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_TvDeconvolveOnWidenedCanvas)->Unit(benchmark::kMillisecond)->UseRealTime();

// The per-plane routines of the non-blind commands with their defaults.
void BM_SingleTvDeconvolve(benchmark::State& state) {
  const std::vector<double> padded = picture(kPaddedWidth, kPaddedHeight);
  const std::vector<double> k = kernel();
  std::vector<double> result(padded.size());
  for (auto _ : state) {
    singleTvDeconvolve(padded.data(), result.data(), k.data(), kPaddedHeight, kPaddedWidth,
                       kKernelSide, kKernelSide, 0.0002);
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_SingleTvDeconvolve)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HyperLaplacianDeconvolve(benchmark::State& state) {
  const std::vector<double> padded = picture(kPaddedWidth, kPaddedHeight);
  const std::vector<double> k = kernel();
  std::vector<double> result(padded.size());
  for (auto _ : state) {
    hyperLaplacianDeconvolve(padded.data(), result.data(), k.data(), kPaddedHeight, kPaddedWidth,
                             kKernelSide, kKernelSide, 30000.0, 0.5);
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_HyperLaplacianDeconvolve)->Unit(benchmark::kMillisecond)->UseRealTime();

// The least-squares final stage with the default weights (0.0002, d = 10).
void BM_PadAndTvDeconvolve(benchmark::State& state) {
  const std::vector<double> image = picture(kWidth, kHeight);
  const std::vector<double> k = kernel();
  std::vector<double> padded(static_cast<std::size_t>(kPaddedWidth) * kPaddedHeight);
  std::vector<double> result(padded.size());
  for (auto _ : state) {
    padImage(image.data(), padded.data(), k.data(), kWidth, kHeight, 1, kKernelSide, kKernelSide,
             kKernelSide, kKernelSide);
    tvDeconvolve(padded.data(), result.data(), k.data(), kPaddedHeight, kPaddedWidth, kKernelSide,
                 kKernelSide, 0.0002, 10);
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_PadAndTvDeconvolve)->Unit(benchmark::kMillisecond)->UseRealTime();

// The L1 final stage (denoise on): ten direct 31 x 31 convolutions of the
// plane besides the transforms.
void BM_L1TvDeconvolve(benchmark::State& state) {
  const std::vector<double> padded = picture(kPaddedWidth, kPaddedHeight);
  const std::vector<double> k = kernel();
  std::vector<double> result(padded.size());
  for (auto _ : state) {
    l1TvDeconvolve(padded.data(), result.data(), k.data(), kPaddedHeight, kPaddedWidth, kKernelSide,
                   kKernelSide, 0.02, 10);
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_L1TvDeconvolve)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_MedianFilter7x7(benchmark::State& state) {
  const std::vector<double> plane = picture(kWidth, kHeight);
  std::vector<double> out(plane.size());
  for (auto _ : state) {
    medianFilter(plane.data(), out.data(), kWidth, kHeight, 7);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_MedianFilter7x7)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kestrel
