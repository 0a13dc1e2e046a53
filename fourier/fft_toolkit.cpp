#include "fourier/fft_toolkit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "fourier/fftw_resources.h"
#include "fourier/grid.h"
#include "parallel/parallel.h"
#include "fourier/split_transform.h"

namespace kestrel {
namespace {

double squaredMagnitude(const fftw_complex& z) { return z[0] * z[0] + z[1] * z[1]; }

int halfWidth(int cols) { return cols / 2 + 1; }

// |spectrum|^2 of a profile of `taps` values on a cyclic line of `length`,
// placed like a kernel, centre on index 0. Taps that wrap onto the same
// index add up: on a line shorter than the profile the trailing zeros would
// otherwise overwrite a tap, and a difference would stop being one (its
// power at frequency 0 would no longer be 0).
std::vector<double> linePower(const double* profile, int taps, int length) {
  std::vector<double> line(length, 0.0);
  for (int j = 0; j < taps; ++j) {
    line[((length - taps / 2 + j) % length + length) % length] += profile[j];
  }
  std::vector<std::pair<int, double>> nonzero;
  for (int i = 0; i < length; ++i) {
    if (line[i] != 0.0) nonzero.emplace_back(i, line[i]);
  }
  const double pi = std::acos(-1.0);
  std::vector<double> power(length);
  for (int v = 0; v < length; ++v) {
    double re = 0.0, im = 0.0;
    for (const auto& [i, value] : nonzero) {
      const double angle =
          2.0 * pi * static_cast<double>(static_cast<long long>(v) * i % length) / length;
      re += value * std::cos(angle);
      im -= value * std::sin(angle);
    }
    power[v] = re * re + im * im;
  }
  return power;
}

// A difference filter as the outer product of a profile down the columns
// and a profile along the rows.
struct DifferenceFilter {
  const double* down;
  int downTaps;
  const double* along;
  int alongTaps;
};

// |spectrum of filter|^2 on the half spectrum of a rows x cols grid: the
// product of the powers of its two profiles.
std::vector<double> filterPower(const DifferenceFilter& filter, int rows, int cols) {
  const int half = halfWidth(cols);
  const std::vector<double> down = linePower(filter.down, filter.downTaps, rows);
  const std::vector<double> along = linePower(filter.along, filter.alongTaps, cols);
  std::vector<double> power(cellCount(rows, half));
  for (int u = 0; u < rows; ++u) {
    for (int v = 0; v < half; ++v) power[cellCount(u, half) + v] = down[u] * along[v];
  }
  return power;
}

const double kUnit[1] = {1.0};
const double kDiff[3] = {1.0, -1.0, 0.0};
const double kSecondDiff[5] = {1.0, -2.0, 1.0, 0.0, 0.0};

// dx, dy, then dxx, dyy, dxy.
const DifferenceFilter kFilters[5] = {{kUnit, 1, kDiff, 3},
                                      {kDiff, 3, kUnit, 1},
                                      {kUnit, 1, kSecondDiff, 5},
                                      {kSecondDiff, 5, kUnit, 1},
                                      {kDiff, 3, kDiff, 3}};

// The powers of the first `count` filters. They are independent and run
// side by side; every caller sums them in a fixed order, so the split over
// threads does not show in the result.
std::vector<std::vector<double>> filterPowers(int count, int rows, int cols) {
  std::vector<std::vector<double>> powers(count);
  parallelFor(0, count, 1, [&](int first, int last) {
    for (int f = first; f < last; ++f) {
      powers[f] = filterPower(kFilters[f], rows, cols);
    }
  });
  return powers;
}

void gradientHalfPower(int rows, int cols, double* gradientPower) {
  const std::vector<std::vector<double>> powers = filterPowers(2, rows, cols);
  const std::size_t half = cellCount(rows, halfWidth(cols));
  for (std::size_t i = 0; i < half; ++i) gradientPower[i] = powers[0][i] + powers[1][i];
}

// Writes the full rows x cols spectrum of an even real function given its
// half spectrum, imaginary parts 0.
void mirrorHalf(const double* half, int rows, int cols, fftw_complex* full) {
  const int halfCols = halfWidth(cols);
  for (int r = 0; r < rows; ++r) {
    const int mirrorRow = (rows - r) % rows;
    for (int c = 0; c < cols; ++c) {
      const double v = c < halfCols
                           ? half[static_cast<std::size_t>(r) * halfCols + c]
                           : half[static_cast<std::size_t>(mirrorRow) * halfCols + (cols - c)];
      fftw_complex& out = full[static_cast<std::size_t>(r) * cols + c];
      out[0] = v;
      out[1] = 0.0;
    }
  }
}

void gradientPowerOf(int rows, int cols, fftw_complex* gradientPower) {
  std::vector<double> half(cellCount(rows, halfWidth(cols)));
  gradientHalfPower(rows, cols, half.data());
  mirrorHalf(half.data(), rows, cols, gradientPower);
}

void powerOf(const fftw_complex* spectrum, fftw_complex* power, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    power[i][0] = squaredMagnitude(spectrum[i]);
    power[i][1] = 0.0;
  }
}

// Normalised autocorrelation of a kernel profile on a cyclic line of the
// given length: 1 at lag 0, falling to 0 beyond the kernel's extent.
std::vector<double> taperWeights(const std::vector<double>& profile, int length) {
  const int n = length - 1;
  std::vector<double> weights(length, 0.0);
  if (n < 1) return weights;
  FftwBuffer line(n);
  FftwBuffer spectrum(n);
  const int used = std::min<int>(n, static_cast<int>(profile.size()));
  for (int i = 0; i < used; ++i) line[i][0] = profile[i];
  FftwPlan::dft1d(n, line.data(), spectrum.data(), FFTW_FORWARD).execute();
  for (int i = 0; i < n; ++i) {
    spectrum[i][0] = squaredMagnitude(spectrum[i]);
    spectrum[i][1] = 0.0;
  }
  FftwPlan::dft1d(n, spectrum.data(), line.data(), FFTW_BACKWARD).execute();
  double largest = 0.0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, line[i][0]);
  if (largest <= 0.0) return weights;
  for (int i = 0; i < n; ++i) weights[i] = line[i][0] < 1e-10 ? 0.0 : line[i][0];
  weights[n] = line[0][0];
  for (double& w : weights) w /= largest;
  return weights;
}

// Calls visit(kernel index, grid index) for every kernel entry, the kernel's
// centre going to cell (0, 0) of the rows x cols grid and the rest wrapping
// around its edges.
template <typename Visit>
void forEachWrappedKernelCell(int rows, int cols, int kernelRows, int kernelCols, Visit visit) {
  const int top = kernelRows / 2;
  const int left = kernelCols / 2;
  for (int i = 0; i < kernelRows; ++i) {
    const int r = ((rows - top + i) % rows + rows) % rows;
    for (int j = 0; j < kernelCols; ++j) {
      const int c = ((cols - left + j) % cols + cols) % cols;
      visit(static_cast<std::size_t>(i) * kernelCols + j, static_cast<std::size_t>(r) * cols + c);
    }
  }
}

}  // namespace

void placeKernel(const double* kernel, double* grid, int rows, int cols, int kernelRows,
                 int kernelCols) {
  forEachWrappedKernelCell(rows, cols, kernelRows, kernelCols,
                           [&](std::size_t k, std::size_t g) { grid[g] = kernel[k]; });
}

void cutKernel(const double* grid, double* kernel, int rows, int cols, int kernelRows,
               int kernelCols, double divisor) {
  forEachWrappedKernelCell(rows, cols, kernelRows, kernelCols,
                           [&](std::size_t k, std::size_t g) { kernel[k] = grid[g] / divisor; });
}

void kernelToSpectrum(const double* kernel, fftw_complex* spectrum, int rows, int cols,
                      int kernelRows, int kernelCols) {
  FftwBuffer grid(cellCount(rows, cols));
  forEachWrappedKernelCell(rows, cols, kernelRows, kernelCols,
                           [&](std::size_t k, std::size_t g) { grid[g][0] = kernel[k]; });
  transform2d(rows, cols, grid.data(), spectrum, FFTW_FORWARD);
}

void spectrumToKernel(const fftw_complex* spectrum, double* kernel, int rows, int cols,
                      int kernelRows, int kernelCols) {
  const std::size_t n = cellCount(rows, cols);
  FftwBuffer input(n);
  // Cell by cell: one pointer may not run past the two doubles of a cell.
  for (std::size_t i = 0; i < n; ++i) {
    input[i][0] = spectrum[i][0];
    input[i][1] = spectrum[i][1];
  }
  FftwBuffer grid(n);
  transform2d(rows, cols, input.data(), grid.data(), FFTW_BACKWARD);
  FftwRealBuffer real(n);
  for (std::size_t i = 0; i < n; ++i) real[i] = grid[i][0];
  cutKernel(real.data(), kernel, rows, cols, kernelRows, kernelCols,
            static_cast<double>(rows) * cols);
}

void derivativeHalfSpectra(int rows, int cols, double* gradientPower, double* derivativeWeight) {
  const std::size_t half = cellCount(rows, halfWidth(cols));
  const std::vector<std::vector<double>> powers = filterPowers(5, rows, cols);
  for (std::size_t i = 0; i < half; ++i) {
    gradientPower[i] = powers[0][i] + powers[1][i];
    const double second = powers[2][i] + powers[3][i] + powers[4][i];
    derivativeWeight[i] = 0.25 * second + 0.5 * gradientPower[i] + 1.0;
  }
}

void derivativeSpectra(int rows, int cols, fftw_complex* gradientPower,
                       fftw_complex* derivativeWeight) {
  const std::size_t half = cellCount(rows, halfWidth(cols));
  std::vector<double> g(half);
  std::vector<double> w(half);
  derivativeHalfSpectra(rows, cols, g.data(), w.data());
  mirrorHalf(g.data(), rows, cols, gradientPower);
  mirrorHalf(w.data(), rows, cols, derivativeWeight);
}

void deconvolutionSpectra(const double* image, const double* kernel, int rows, int cols,
                          int kernelRows, int kernelCols, fftw_complex* kernelConjTimesImage,
                          fftw_complex* kernelPower, fftw_complex* gradientPower) {
  const std::size_t n = cellCount(rows, cols);
  FftwBuffer k(n);
  kernelToSpectrum(kernel, k.data(), rows, cols, kernelRows, kernelCols);
  FftwBuffer input(n);
  for (std::size_t i = 0; i < n; ++i) input[i][0] = image[i];
  FftwBuffer y(n);
  transform2d(rows, cols, input.data(), y.data(), FFTW_FORWARD);
  for (std::size_t i = 0; i < n; ++i) {
    const double kr = k[i][0], ki = k[i][1], yr = y[i][0], yi = y[i][1];
    kernelConjTimesImage[i][0] = kr * yr + ki * yi;
    kernelConjTimesImage[i][1] = kr * yi - ki * yr;
  }
  powerOf(k.data(), kernelPower, n);
  gradientPowerOf(rows, cols, gradientPower);
}

void kernelSpectra(const double* kernel, int rows, int cols, int kernelRows, int kernelCols,
                   fftw_complex* kernelSpectrum, fftw_complex* kernelPower,
                   fftw_complex* gradientPower) {
  kernelToSpectrum(kernel, kernelSpectrum, rows, cols, kernelRows, kernelCols);
  powerOf(kernelSpectrum, kernelPower, cellCount(rows, cols));
  gradientPowerOf(rows, cols, gradientPower);
}

void edgeTaper(const double* image, double* out, const double* kernel, int rows, int cols,
               int kernelRows, int kernelCols) {
  const std::size_t n = cellCount(rows, cols);
  std::vector<double> horizontal(kernelCols, 0.0);
  std::vector<double> vertical(kernelRows, 0.0);
  for (int i = 0; i < kernelRows; ++i) {
    for (int j = 0; j < kernelCols; ++j) {
      horizontal[j] += kernel[i * kernelCols + j];
      vertical[i] += kernel[i * kernelCols + j];
    }
  }
  const std::vector<double> betaX = taperWeights(horizontal, cols);
  const std::vector<double> betaY = taperWeights(vertical, rows);

  // The circular blur, through real-to-complex transforms of the kernel and
  // the image.
  const std::size_t half = cellCount(rows, halfWidth(cols));
  FftwRealBuffer kernelGrid(n);
  placeKernel(kernel, kernelGrid.data(), rows, cols, kernelRows, kernelCols);
  FftwRealBuffer input(n);
  std::copy(image, image + n, input.data());
  FftwBuffer k(half);
  FftwBuffer spectrum(half);
  SplitRealTransform::forward(rows, cols, {{0, rows}}, input.data(), spectrum.data()).execute();
  // Only the kernel's rows of its grid are non-zero.
  SplitRealTransform::forward(rows, cols, kernelWindowRows(rows, kernelRows), kernelGrid.data(),
                              k.data())
      .execute();
  for (std::size_t i = 0; i < half; ++i) {
    const double sr = spectrum[i][0], si = spectrum[i][1];
    spectrum[i][0] = sr * k[i][0] - si * k[i][1];
    spectrum[i][1] = sr * k[i][1] + si * k[i][0];
  }
  SplitRealTransform::backward(rows, cols, {{0, rows}}, spectrum.data(), input.data()).execute();

  double hi = 0.0;
  double lo = 100000.0;
  for (std::size_t i = 0; i < n; ++i) {
    hi = std::max(hi, image[i]);
    lo = std::min(lo, image[i]);
  }
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * cols + c;
      const double alpha = (1.0 - betaY[r]) * (1.0 - betaX[c]);
      const double blurred = input[i] / rows / cols;
      const double blended = alpha * image[i] + (1.0 - alpha) * blurred;
      out[i] = std::clamp(blended, lo, hi);
    }
  }
}

int compareAscending(const void* first, const void* second) {
  const double d = *static_cast<const double*>(first) - *static_cast<const double*>(second);
  if (d < 0) return -1;
  if (d == 0) return 0;
  return 1;
}

}  // namespace kestrel
