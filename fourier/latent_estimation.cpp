#include "fourier/latent_estimation.h"

#include <algorithm>
#include <cassert>
#include <cstddef>

#include "fourier/fft_toolkit.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Rows handed to one thread at a time.
constexpr int kRowGrain = 16;

}  // namespace

void estimateLatent(const double* kernel, double* latent, LevelSpectra& levelSpectra,
                    int rows, int cols, int kernelRows, int kernelCols, double weight) {
  LevelSpectra& s = levelSpectra;
  const std::size_t rowLength = static_cast<std::size_t>(s.halfCols);
  assert(s.scratch != nullptr && s.blurredSpectrum.size() == rows * rowLength &&
         s.derivativeWeight.size() == rows * rowLength &&
         s.gradientPower.size() == rows * rowLength);
  LevelScratch& w = *s.scratch;

  if (w.kernelRows != kernelRows) {
    planKernelWindow(w, rows, cols, s.padRows, s.padCols, kernelRows);
  }
  // The forward transform reads only the kernel's rows; the previous
  // backward transform left them full.
  double* grid = w.levelPlane.data();
  for (const auto& [first, last] : kernelWindowRows(rows, kernelRows)) {
    std::fill(grid + static_cast<std::size_t>(first) * cols,
              grid + static_cast<std::size_t>(last) * cols, 0.0);
  }
  placeKernel(kernel, grid, rows, cols, kernelRows, kernelCols);
  fftw_complex* k = w.levelSpectrum.data();
  w.levelForward.execute();

  // Per frequency: X = conj(K) Y W / (W |K|^2 + weight G), written over K.
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    const std::size_t end = static_cast<std::size_t>(last) * rowLength;
    for (std::size_t i = static_cast<std::size_t>(first) * rowLength; i < end; ++i) {
      const double kr = k[i][0], ki = k[i][1];
      const double yr = s.blurredSpectrum[i][0], yi = s.blurredSpectrum[i][1];
      const double wd = s.derivativeWeight[i];
      const double d = wd * (kr * kr + ki * ki) + weight * s.gradientPower[i];
      if (d == 0.0) {
        k[i][0] = k[i][1] = 0.0;
        continue;
      }
      k[i][0] = (kr * yr + ki * yi) * wd / d;
      k[i][1] = (kr * yi - ki * yr) * wd / d;
    }
  });
  w.levelBackward.execute();

  const double cells = static_cast<double>(rows) * cols;
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    const std::size_t end = static_cast<std::size_t>(last) * cols;
    for (std::size_t i = static_cast<std::size_t>(first) * cols; i < end; ++i) {
      const double v = grid[i] / cells;
      // Written so that a value that is not a number also lands on 0.
      latent[i] = v > 1.0 ? 1.0 : (v > 0.0 ? v : 0.0);
    }
  });
}

}  // namespace kestrel
