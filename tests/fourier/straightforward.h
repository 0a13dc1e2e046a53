// Straightforward formulations of the per-level Fourier routines: full
// complex transforms planned on the spot and box means by direct 2D
// summation. The product code must agree with them to rounding.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "fourier/fft_toolkit.h"
#include "fourier/fftw_resources.h"
#include "fourier/filter2d.h"
#include "fourier/level_spectra.h"
#include "tests/fourier/test_support.h"

namespace kestrel {
namespace testing {

inline FftwBuffer fullSpectrum(const std::vector<double>& plane, int rows, int cols) {
  FftwBuffer input(plane.size());
  for (std::size_t i = 0; i < plane.size(); ++i) input[i][0] = plane[i];
  FftwBuffer spectrum(plane.size());
  transform2d(rows, cols, input.data(), spectrum.data(), FFTW_FORWARD);
  return spectrum;
}

// |F filter|^2 of the grid, filter centred on the origin, taps that wrap
// onto one cell added.
inline std::vector<double> filterPower(const double* filter, int filterRows, int filterCols,
                                       int rows, int cols) {
  std::vector<double> grid(static_cast<std::size_t>(rows) * cols, 0.0);
  for (int i = 0; i < filterRows; ++i)
    for (int j = 0; j < filterCols; ++j)
      grid[static_cast<std::size_t>(wrap(i - filterRows / 2, rows)) * cols +
           wrap(j - filterCols / 2, cols)] += filter[i * filterCols + j];
  const FftwBuffer spectrum = fullSpectrum(grid, rows, cols);
  std::vector<double> power(grid.size());
  for (std::size_t i = 0; i < power.size(); ++i)
    power[i] = spectrum[i][0] * spectrum[i][0] + spectrum[i][1] * spectrum[i][1];
  return power;
}

// G and W of the grid, full spectra.
inline void straightforwardDerivativeSpectra(int rows, int cols, std::vector<double>& g,
                                             std::vector<double>& w) {
  const double diff[3] = {1.0, -1.0, 0.0};
  const double second[5] = {1.0, -2.0, 1.0, 0.0, 0.0};
  const double mixed[9] = {1.0, -1.0, 0.0, -1.0, 1.0, 0.0, 0.0, 0.0, 0.0};
  const std::vector<double> dx = filterPower(diff, 1, 3, rows, cols);
  const std::vector<double> dy = filterPower(diff, 3, 1, rows, cols);
  const std::vector<double> dxx = filterPower(second, 1, 5, rows, cols);
  const std::vector<double> dyy = filterPower(second, 5, 1, rows, cols);
  const std::vector<double> dxy = filterPower(mixed, 3, 3, rows, cols);
  g.resize(dx.size());
  w.resize(dx.size());
  for (std::size_t i = 0; i < g.size(); ++i) {
    g[i] = dx[i] + dy[i];
    w[i] = 1.0 + 0.5 * g[i] + 0.25 * (dxx[i] + dyy[i] + dxy[i]);
  }
}

// The plane placed at (padTop, padLeft) among zeros, full spectrum.
inline FftwBuffer fullPaddedSpectrum(const double* plane, int rows, int cols,
                                     const LevelSpectra& s) {
  std::vector<double> grid(static_cast<std::size_t>(s.padRows) * s.padCols, 0.0);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      grid[static_cast<std::size_t>(r + s.padTop) * s.padCols + c + s.padLeft] =
          plane[static_cast<std::size_t>(r) * cols + c];
  return fullSpectrum(grid, s.padRows, s.padCols);
}

inline std::vector<double> straightforwardKernel(const double* predGradX, const double* predGradY,
                                                 const LevelSpectra& s, int rows, int cols,
                                                 int kernelRows, int kernelCols, double weight) {
  const std::size_t n = static_cast<std::size_t>(s.padRows) * s.padCols;
  const FftwBuffer px = fullPaddedSpectrum(predGradX, rows, cols, s);
  const FftwBuffer py = fullPaddedSpectrum(predGradY, rows, cols, s);
  const FftwBuffer bx = fullPaddedSpectrum(s.blurGradX.data(), rows, cols, s);
  const FftwBuffer by = fullPaddedSpectrum(s.blurGradY.data(), rows, cols, s);
  FftwBuffer k(n);
  const double a = 0.5;
  for (std::size_t i = 0; i < n; ++i) {
    const double pxr = px[i][0], pxi = px[i][1], pyr = py[i][0], pyi = py[i][1];
    const double d = weight + a * (pxr * pxr + pxi * pxi + pyr * pyr + pyi * pyi);
    if (d == 0.0) continue;
    k[i][0] = a * (pxr * bx[i][0] + pxi * bx[i][1] + pyr * by[i][0] + pyi * by[i][1]) / d;
    k[i][1] = a * (pxr * bx[i][1] - pxi * bx[i][0] + pyr * by[i][1] - pyi * by[i][0]) / d;
  }
  std::vector<double> kernel(static_cast<std::size_t>(kernelRows) * kernelCols);
  spectrumToKernel(k.data(), kernel.data(), s.padRows, s.padCols, kernelRows, kernelCols);
  return kernel;
}

// levelImage and kernel are those the record was prepared from.
inline std::vector<double> straightforwardLatent(const std::vector<double>& levelImage,
                                                 const std::vector<double>& levelKernel,
                                                 const double* kernel, int rows, int cols,
                                                 int kernelRows, int kernelCols, double weight) {
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  std::vector<double> tapered(n);
  edgeTaper(levelImage.data(), tapered.data(), levelKernel.data(), rows, cols, kernelRows,
            kernelCols);
  const FftwBuffer y = fullSpectrum(tapered, rows, cols);
  std::vector<double> g, w;
  straightforwardDerivativeSpectra(rows, cols, g, w);
  FftwBuffer k(n), x(n);
  kernelToSpectrum(kernel, k.data(), rows, cols, kernelRows, kernelCols);
  for (std::size_t i = 0; i < n; ++i) {
    const double kr = k[i][0], ki = k[i][1];
    const double d = w[i] * (kr * kr + ki * ki) + weight * g[i];
    if (d == 0.0) continue;
    x[i][0] = (kr * y[i][0] + ki * y[i][1]) * w[i] / d;
    x[i][1] = (kr * y[i][1] - ki * y[i][0]) * w[i] / d;
  }
  FftwBuffer image(n);
  transform2d(rows, cols, x.data(), image.data(), FFTW_BACKWARD);
  std::vector<double> latent(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = image[i][0] / static_cast<double>(n);
    latent[i] = v > 1.0 ? 1.0 : (v > 0.0 ? v : 0.0);
  }
  return latent;
}

inline std::vector<double> directBoxMean(const std::vector<double>& plane, int rows, int cols,
                                         int boxRows, int boxCols) {
  const std::vector<double> box(static_cast<std::size_t>(boxRows) * boxCols,
                                1.0 / (static_cast<double>(boxRows) * boxCols));
  std::vector<double> mean(plane.size());
  FilterParams params;
  params.input = plane.data();
  params.output = mean.data();
  params.width = cols;
  params.height = rows;
  params.kernel = box.data();
  params.kernelWidth = boxCols;
  params.kernelHeight = boxRows;
  params.boundaryMode = kBoundaryZero;
  params.filterMode = kFilterConvolution;
  filter2D(params);
  return mean;
}

inline std::vector<double> straightforwardCoherenceMap(const LevelSpectra& s, int rows, int cols,
                                                       int boxRows, int boxCols) {
  std::vector<double> absX(s.blurGradX.size()), absY(s.blurGradY.size());
  for (std::size_t i = 0; i < absX.size(); ++i) {
    absX[i] = std::fabs(s.blurGradX[i]);
    absY[i] = std::fabs(s.blurGradY[i]);
  }
  const std::vector<double> sumX = directBoxMean(s.blurGradX, rows, cols, boxRows, boxCols);
  const std::vector<double> sumY = directBoxMean(s.blurGradY, rows, cols, boxRows, boxCols);
  const std::vector<double> magX = directBoxMean(absX, rows, cols, boxRows, boxCols);
  const std::vector<double> magY = directBoxMean(absY, rows, cols, boxRows, boxCols);
  std::vector<double> map(absX.size());
  for (std::size_t i = 0; i < map.size(); ++i)
    map[i] = std::sqrt(sumX[i] * sumX[i] + sumY[i] * sumY[i]) /
             (std::sqrt(magX[i] * magX[i] + magY[i] * magY[i]) + 1.0);
  return map;
}

}  // namespace testing
}  // namespace kestrel
