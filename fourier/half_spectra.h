// Spectra of real grids kept as half spectra.
//
// The transform of a real rows x cols grid is Hermitian, so its columns
// 0 ... cols/2 determine the rest: a half spectrum holds rows x (cols/2 + 1)
// values, row-major, in FFTW's real-to-complex layout. Filters whose power
// only is needed are given in closed form instead of by transforms.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "fourier/fftw_resources.h"

namespace kestrel {

inline int halfColumns(int cols) { return cols / 2 + 1; }

inline std::size_t halfCells(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(halfColumns(cols));
}

// |1 - exp(-2 pi i f / n)|^2 = 4 sin^2(pi f / n) for f = 0 ... n-1: the power
// of the difference [1, -1] at every frequency of a line of n samples,
// exactly 0 at f = 0. The sine form keeps full relative precision at low
// frequencies, where 2 - 2 cos loses it.
inline std::vector<double> differencePower(int n) {
  const double pi = 3.14159265358979323846;
  std::vector<double> power(static_cast<std::size_t>(n));
  for (int f = 0; f < n; ++f) {
    const double s = std::sin(pi * f / n);
    power[static_cast<std::size_t>(f)] = 4.0 * s * s;
  }
  return power;
}

// The transform of a kernel placed on a rows x cols grid with its centre
// element on cell (0, 0), as a half spectrum of halfCells(rows, cols)
// values. The kernel must fit on the grid.
inline FftwBuffer kernelHalfSpectrum(const double* kernel, int rows, int cols, int kernelRows,
                                     int kernelCols) {
  FftwRealBuffer grid(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  const int top = kernelRows / 2;
  const int left = kernelCols / 2;
  for (int i = 0; i < kernelRows; ++i) {
    const int r = (rows - top + i) % rows;
    for (int j = 0; j < kernelCols; ++j) {
      const int c = (cols - left + j) % cols;
      grid[static_cast<std::size_t>(r) * cols + c] = kernel[i * kernelCols + j];
    }
  }
  FftwBuffer spectrum(halfCells(rows, cols));
  FftwPlan::realForward2d(rows, cols, grid.data(), spectrum.data()).execute();
  return spectrum;
}

}  // namespace kestrel
