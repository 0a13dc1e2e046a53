// One iteration of the finest pyramid level of a one-megapixel picture:
// the per-level set-up once, then a kernel estimate and a latent estimate
// per iteration.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "bench/bench_inputs.h"
#include "fourier/complex_rows.h"
#include "fourier/fftw_resources.h"
#include "fourier/kernel_estimation.h"
#include "fourier/latent_estimation.h"
#include "fourier/level_spectra.h"
#include "fourier/split_transform.h"

namespace kestrel {
namespace {

constexpr int kRows = 864;
constexpr int kCols = 1152;
constexpr int kKernelSize = 31;

std::vector<double> picture() { return bench::shadedBlocks(kRows, kCols); }

std::vector<double> streak() { return bench::diagonalStreak(kKernelSize); }

std::vector<double> gradientX(const std::vector<double>& image) {
  std::vector<double> g(image.size(), 0.0);
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c + 1 < kCols; ++c)
      g[static_cast<std::size_t>(r) * kCols + c] =
          image[static_cast<std::size_t>(r) * kCols + c + 1] -
          image[static_cast<std::size_t>(r) * kCols + c];
  return g;
}

std::vector<double> gradientY(const std::vector<double>& image) {
  std::vector<double> g(image.size(), 0.0);
  for (int r = 0; r + 1 < kRows; ++r)
    for (int c = 0; c < kCols; ++c)
      g[static_cast<std::size_t>(r) * kCols + c] =
          image[static_cast<std::size_t>(r + 1) * kCols + c] -
          image[static_cast<std::size_t>(r) * kCols + c];
  return g;
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
BENCHMARK(BM_PrepareLevelSpectra)->Unit(benchmark::kMillisecond);

struct Level {
  std::vector<double> image = picture();
  std::vector<double> kernel = streak();
  std::vector<double> predX = gradientX(image);
  std::vector<double> predY = gradientY(image);
  std::vector<double> latent = std::vector<double>(image.size());
  // The raw estimate lands here; the latent estimate uses the streak, as
  // the driver would use the cleaned kernel.
  std::vector<double> estimated = std::vector<double>(kernel.size());
  LevelSpectra spectra;
  Level() {
    prepareLevelSpectra(image.data(), kernel.data(), kCols, kRows, kKernelSize, kKernelSize,
                        spectra);
  }
};

void BM_EstimateKernel(benchmark::State& state) {
  Level level;
  for (auto _ : state) {
    estimateKernel(level.predX.data(), level.predY.data(), level.spectra, kRows, kCols, kKernelSize,
                   kKernelSize, level.estimated.data(), 40.0);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EstimateKernel)->Unit(benchmark::kMillisecond);

void BM_EstimateLatent(benchmark::State& state) {
  Level level;
  for (auto _ : state) {
    estimateLatent(level.kernel.data(), level.latent.data(), level.spectra, kRows, kCols,
                   kKernelSize, kKernelSize, 0.002);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EstimateLatent)->Unit(benchmark::kMillisecond);

void BM_FinestLevelIteration(benchmark::State& state) {
  Level level;
  for (auto _ : state) {
    estimateKernel(level.predX.data(), level.predY.data(), level.spectra, kRows, kCols, kKernelSize,
                   kKernelSize, level.estimated.data(), 40.0);
    estimateLatent(level.kernel.data(), level.latent.data(), level.spectra, kRows, kCols,
                   kKernelSize, kKernelSize, 0.002);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FinestLevelIteration)->Unit(benchmark::kMillisecond);

// A forward and a backward transform of the padded canvas of a
// two-megapixel photo (1633 x 1225 and a 31 x 31 kernel): 1695 columns,
// 3 x 5 x 113, and 1287 rows, as the boundary padding transforms it.
void BM_PaddedCanvasTransforms(benchmark::State& state) {
  const int rows = 1287, cols = 1695;
  FftwRealBuffer grid(static_cast<std::size_t>(rows) * cols);
  for (std::size_t i = 0; i < grid.size(); ++i) grid[i] = std::sin(0.001 * static_cast<double>(i));
  FftwBuffer spectrum(static_cast<std::size_t>(rows) * (cols / 2 + 1));
  const SplitRealTransform forward =
      SplitRealTransform::forward(rows, cols, {{0, rows}}, grid.data(), spectrum.data());
  const SplitRealTransform backward =
      SplitRealTransform::backward(rows, cols, {{0, rows}}, spectrum.data(), grid.data());
  for (auto _ : state) {
    forward.execute();
    backward.execute();
    benchmark::DoNotOptimize(grid.data());
  }
}
BENCHMARK(BM_PaddedCanvasTransforms)->Unit(benchmark::kMillisecond);

// The complex row pass of the padded 2 MP canvas (1287 rows of 1695 taken
// in pairs): FFTW's estimated plan, which goes through Bluestein's algorithm
// for the factor 113, against the split into Rader convolutions of 112.
constexpr int kPairedRows = 1287 / 2;
constexpr int kPaddedWidth = 1695;

FftwBuffer paddedRows() {
  FftwBuffer rows(static_cast<std::size_t>(kPairedRows) * kPaddedWidth);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i][0] = std::sin(0.001 * static_cast<double>(i));
    rows[i][1] = std::cos(0.003 * static_cast<double>(i));
  }
  return rows;
}

void BM_PaddedRowsByFftwPlanner(benchmark::State& state) {
  FftwBuffer rows = paddedRows();
  const FftwPlan forward = FftwPlan::rows(kPairedRows, kPaddedWidth, rows.data(), FFTW_FORWARD);
  const FftwPlan backward = FftwPlan::rows(kPairedRows, kPaddedWidth, rows.data(), FFTW_BACKWARD);
  for (auto _ : state) {
    forward.execute();
    backward.execute();
    benchmark::DoNotOptimize(rows.data());
  }
}
BENCHMARK(BM_PaddedRowsByFftwPlanner)->Unit(benchmark::kMillisecond);

void BM_PaddedRowsSplit(benchmark::State& state) {
  FftwBuffer rows = paddedRows();
  const ComplexRows forward(kPairedRows, kPaddedWidth, rows.data(), FFTW_FORWARD);
  const ComplexRows backward(kPairedRows, kPaddedWidth, rows.data(), FFTW_BACKWARD);
  for (auto _ : state) {
    forward.execute();
    backward.execute();
    benchmark::DoNotOptimize(rows.data());
  }
}
BENCHMARK(BM_PaddedRowsSplit)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrel
