#include "fourier/fft_toolkit.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "fourier/fftw_resources.h"

namespace kestrel {
namespace {

std::size_t cellCount(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

double squaredMagnitude(const fftw_complex& z) { return z[0] * z[0] + z[1] * z[1]; }

// Adds |spectrum of filter|^2 * factor to the real parts of sum. The filter
// is placed like a kernel, centre on the origin, but taps that wrap onto the
// same cell add up: on a grid narrower than the filter the trailing zeros
// would otherwise overwrite a tap, and the filter would stop being a
// difference (G(0,0) would no longer be 0). On wider grids this is exactly
// kernelToSpectrum.
void accumulateFilterPower(const double* filter, int filterRows, int filterCols, int rows,
                           int cols, double factor, fftw_complex* sum) {
  const std::size_t n = cellCount(rows, cols);
  FftwBuffer grid(n);
  for (int i = 0; i < filterRows; ++i) {
    const int r = ((rows - filterRows / 2 + i) % rows + rows) % rows;
    for (int j = 0; j < filterCols; ++j) {
      const int c = ((cols - filterCols / 2 + j) % cols + cols) % cols;
      grid[static_cast<std::size_t>(r) * cols + c][0] += filter[i * filterCols + j];
    }
  }
  FftwBuffer spectrum(n);
  transform2d(rows, cols, grid.data(), spectrum.data(), FFTW_FORWARD);
  for (std::size_t i = 0; i < n; ++i) sum[i][0] += factor * squaredMagnitude(spectrum[i]);
}

const double kDiff[3] = {1.0, -1.0, 0.0};
const double kSecondDiff[5] = {1.0, -2.0, 1.0, 0.0, 0.0};
const double kMixedDiff[9] = {1.0, -1.0, 0.0, -1.0, 1.0, 0.0, 0.0, 0.0, 0.0};

void gradientPowerOf(int rows, int cols, fftw_complex* gradientPower) {
  const std::size_t n = cellCount(rows, cols);
  for (std::size_t i = 0; i < n; ++i) gradientPower[i][0] = gradientPower[i][1] = 0.0;
  accumulateFilterPower(kDiff, 1, 3, rows, cols, 1.0, gradientPower);
  accumulateFilterPower(kDiff, 3, 1, rows, cols, 1.0, gradientPower);
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

}  // namespace

void kernelToSpectrum(const double* kernel, fftw_complex* spectrum, int rows, int cols,
                      int kernelRows, int kernelCols) {
  FftwBuffer grid(cellCount(rows, cols));
  const int top = kernelRows / 2;
  const int left = kernelCols / 2;
  for (int i = 0; i < kernelRows; ++i) {
    const int r = ((rows - top + i) % rows + rows) % rows;
    for (int j = 0; j < kernelCols; ++j) {
      const int c = ((cols - left + j) % cols + cols) % cols;
      grid[static_cast<std::size_t>(r) * cols + c][0] = kernel[i * kernelCols + j];
    }
  }
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
  const int top = kernelRows / 2;
  const int left = kernelCols / 2;
  const double cells = static_cast<double>(rows) * cols;
  for (int i = 0; i < kernelRows; ++i) {
    const int r = ((rows - top + i) % rows + rows) % rows;
    for (int j = 0; j < kernelCols; ++j) {
      const int c = ((cols - left + j) % cols + cols) % cols;
      kernel[i * kernelCols + j] = grid[static_cast<std::size_t>(r) * cols + c][0] / cells;
    }
  }
}

void derivativeSpectra(int rows, int cols, fftw_complex* gradientPower,
                       fftw_complex* derivativeWeight) {
  const std::size_t n = cellCount(rows, cols);
  gradientPowerOf(rows, cols, gradientPower);
  for (std::size_t i = 0; i < n; ++i) derivativeWeight[i][0] = derivativeWeight[i][1] = 0.0;
  accumulateFilterPower(kSecondDiff, 1, 5, rows, cols, 1.0, derivativeWeight);
  accumulateFilterPower(kSecondDiff, 5, 1, rows, cols, 1.0, derivativeWeight);
  accumulateFilterPower(kMixedDiff, 3, 3, rows, cols, 1.0, derivativeWeight);
  for (std::size_t i = 0; i < n; ++i) {
    derivativeWeight[i][0] = 0.25 * derivativeWeight[i][0] + 0.5 * gradientPower[i][0] + 1.0;
  }
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

  FftwBuffer k(n);
  kernelToSpectrum(kernel, k.data(), rows, cols, kernelRows, kernelCols);
  FftwBuffer input(n);
  for (std::size_t i = 0; i < n; ++i) input[i][0] = image[i];
  FftwBuffer spectrum(n);
  transform2d(rows, cols, input.data(), spectrum.data(), FFTW_FORWARD);
  for (std::size_t i = 0; i < n; ++i) {
    const double sr = spectrum[i][0], si = spectrum[i][1];
    spectrum[i][0] = sr * k[i][0] - si * k[i][1];
    spectrum[i][1] = sr * k[i][1] + si * k[i][0];
  }
  transform2d(rows, cols, spectrum.data(), input.data(), FFTW_BACKWARD);

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
      const double blurred = input[i][0] / rows / cols;
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
