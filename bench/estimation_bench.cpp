// The routines of blind kernel estimation, each on the finest level of a
// two-megapixel picture (1633 x 1225) with a 31 x 31 kernel: per level the
// Fourier set-up and the coherence map, per iteration a prediction, a kernel
// estimate and a latent estimate; and the resampling of the pyramid. Only
// public entry points are timed, so the same file measures any revision.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "bench/bench_inputs.h"
#include "deblur/resample.h"
#include "fourier/filter2d.h"
#include "fourier/kernel_estimation.h"
#include "fourier/latent_estimation.h"
#include "fourier/level_spectra.h"
#include "prediction/prediction_engine.h"
#include "prediction/shock_filter.h"

namespace kestrel {
namespace {

constexpr int kRows = 1225;
constexpr int kCols = 1633;
constexpr int kKernelSize = 31;
// The coherence box of a 31-wide kernel: 0.6 of its side, made odd.
constexpr int kBoxSize = 19;
// The command's default weight of the coherence rank.
constexpr double kRankWeight = 0.7;

std::size_t cells() { return static_cast<std::size_t>(kRows) * kCols; }

std::vector<double> picture() { return bench::shadedBlocks(kRows, kCols); }

std::vector<double> streak() { return bench::diagonalStreak(kKernelSize); }

struct Level {
  std::vector<double> image = picture();
  std::vector<double> kernel = streak();
  std::vector<double> coherence = std::vector<double>(cells());
  std::vector<double> latent = std::vector<double>(cells());
  std::vector<double> estimated = std::vector<double>(kernel.size());
  LevelSpectra spectra;
  Level() {
    prepareLevelSpectra(image.data(), kernel.data(), kCols, kRows, kKernelSize, kKernelSize,
                        spectra);
    gradientCoherenceMap(spectra, coherence.data(), kRows, kCols, kBoxSize, kBoxSize);
  }
};

PredictionParams firstIteration(const double* latent) {
  PredictionParams params;
  params.latent = latent;
  params.width = kCols;
  params.height = kRows;
  params.kernelWidth = kKernelSize;
  params.kernelHeight = kKernelSize;
  return params;
}

void BM_PrepareLevelSpectra(benchmark::State& state) {
  const std::vector<double> image = picture();
  const std::vector<double> kernel = streak();
  for (auto _ : state) {
    LevelSpectra spectra;
    prepareLevelSpectra(image.data(), kernel.data(), kCols, kRows, kKernelSize, kKernelSize,
                        spectra);
    benchmark::DoNotOptimize(spectra.blurGradXSpectrum.data());
  }
}

void BM_GradientCoherenceMap(benchmark::State& state) {
  Level level;
  for (auto _ : state) {
    gradientCoherenceMap(level.spectra, level.coherence.data(), kRows, kCols, kBoxSize, kBoxSize);
    benchmark::ClobberMemory();
  }
}

// The first prediction of a level derives both thresholds.
void BM_Predict(benchmark::State& state) {
  Level level;
  const PredictionParams params = firstIteration(level.image.data());
  for (auto _ : state) {
    CImageMyPredictionEngine engine;
    engine.init(params, level.coherence.data(), kRankWeight);
    engine.predict();
    benchmark::DoNotOptimize(engine.gradX.data());
  }
}

void BM_EstimateKernel(benchmark::State& state) {
  Level level;
  CImageMyPredictionEngine engine;
  engine.init(firstIteration(level.image.data()), level.coherence.data(), kRankWeight);
  engine.predict();
  for (auto _ : state) {
    estimateKernel(engine.gradX.data(), engine.gradY.data(), level.spectra, kRows, kCols,
                   kKernelSize, kKernelSize, level.estimated.data(), 40.0);
    benchmark::ClobberMemory();
  }
}

void BM_EstimateLatent(benchmark::State& state) {
  Level level;
  for (auto _ : state) {
    estimateLatent(level.kernel.data(), level.latent.data(), level.spectra, kRows, kCols,
                   kKernelSize, kKernelSize, 0.002);
    benchmark::ClobberMemory();
  }
}

void BM_GaussianFilter2D(benchmark::State& state) {
  const std::vector<double> image = picture();
  std::vector<double> out(image.size());
  std::vector<double> gaussian(25, 1.0 / 25.0);
  for (auto _ : state) {
    FilterParams params;
    params.input = image.data();
    params.output = out.data();
    params.width = kCols;
    params.height = kRows;
    params.kernel = gaussian.data();
    params.kernelWidth = 5;
    params.kernelHeight = 5;
    filter2D(params);
    benchmark::ClobberMemory();
  }
}

void BM_ShockFilter(benchmark::State& state) {
  const std::vector<double> image = picture();
  std::vector<double> out(image.size());
  for (auto _ : state) {
    shockFilter(image.data(), out.data(), kCols, kRows, 1, 1.0, 1.0);
    benchmark::ClobberMemory();
  }
}

// The whole pyramid of a 31-wide kernel: six levels, each 1/sqrt(2) smaller.
void BM_ResamplePyramid(benchmark::State& state) {
  const std::vector<double> image = picture();
  std::vector<double> out(image.size());
  for (auto _ : state) {
    double scale = 1.0;
    for (int s = 1; s < 6; ++s) {
      scale /= std::sqrt(2.0);
      resampleByScale(image.data(), out.data(), kRows, kCols, scale);
    }
    benchmark::ClobberMemory();
  }
}

// The iteration loop of the finest level: eight predictions, kernel and
// latent estimates.
void BM_FinestLevelIterations(benchmark::State& state) {
  Level level;
  for (auto _ : state) {
    PredictionParams params = firstIteration(level.latent.data());
    level.latent = level.image;
    CImageMyPredictionEngine engine;
    for (int k = 0; k < 8; ++k) {
      engine.init(params, level.coherence.data(), kRankWeight);
      engine.predict();
      params.sigma = engine.sigma;
      params.gradThreshold[0] = engine.gradThreshold[0];
      params.shockStep = engine.shockStep;
      params.coherenceThreshold = k <= 3 ? engine.coherenceThreshold : 0.0;
      estimateKernel(engine.gradX.data(), engine.gradY.data(), level.spectra, kRows, kCols,
                     kKernelSize, kKernelSize, level.estimated.data(), 40.0);
      estimateLatent(level.kernel.data(), level.latent.data(), level.spectra, kRows, kCols,
                     kKernelSize, kKernelSize, 0.002);
    }
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_PrepareLevelSpectra)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_GradientCoherenceMap)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Predict)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_EstimateKernel)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_EstimateLatent)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_GaussianFilter2D)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ShockFilter)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ResamplePyramid)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_FinestLevelIterations)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(1);

}  // namespace
}  // namespace kestrel
