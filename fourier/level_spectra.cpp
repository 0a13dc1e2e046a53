#include "fourier/level_spectra.h"

#include <cassert>
#include <cmath>
#include <cstddef>

#include "fourier/fft_toolkit.h"
#include "fourier/filter2d.h"

namespace kestrel {
namespace {

std::size_t cellCount(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

std::vector<double> boxMean(const double* plane, int rows, int cols, const std::vector<double>& box,
                            int boxRows, int boxCols) {
  std::vector<double> mean(cellCount(rows, cols));
  FilterParams params;
  params.input = plane;
  params.output = mean.data();
  params.width = cols;
  params.height = rows;
  params.scale = 1.0;
  params.kernel = box.data();
  params.kernelWidth = boxCols;
  params.kernelHeight = boxRows;
  params.boundaryMode = kBoundaryZero;
  params.filterMode = kFilterConvolution;
  filter2D(params);
  return mean;
}

}  // namespace

void prepareLevelSpectra(const double* levelImage, const double* kernel, int cols, int rows,
                         int kernelCols, int kernelRows, LevelSpectra& levelSpectra) {
  assert(rows >= 2 && cols >= 2 && kernelRows >= 1 && kernelCols >= 1);
  const std::size_t n = cellCount(rows, cols);
  LevelSpectra& s = levelSpectra;

  s.gradientPower = FftwBuffer(n);
  s.derivativeWeight = FftwBuffer(n);
  derivativeSpectra(rows, cols, s.gradientPower.data(), s.derivativeWeight.data());

  {
    std::vector<double> tapered(n);
    edgeTaper(levelImage, tapered.data(), kernel, rows, cols, kernelRows, kernelCols);
    FftwBuffer input(n);
    for (std::size_t i = 0; i < n; ++i) input[i][0] = tapered[i];
    s.blurredSpectrum = FftwBuffer(n);
    transform2d(rows, cols, input.data(), s.blurredSpectrum.data(), FFTW_FORWARD);
  }

  // Kernel estimation fits the gradients of the image as it was given; the
  // taper only serves the circular deconvolution of the latent estimate.
  s.blurGradX.assign(n, 0.0);
  s.blurGradY.assign(n, 0.0);
  for (int r = 0; r < rows; ++r) {
    const double* row = levelImage + static_cast<std::size_t>(r) * cols;
    double* gx = s.blurGradX.data() + static_cast<std::size_t>(r) * cols;
    double* gy = s.blurGradY.data() + static_cast<std::size_t>(r) * cols;
    for (int c = 0; c + 1 < cols; ++c) gx[c] = row[c + 1] - row[c];
    if (r + 1 < rows) {
      for (int c = 0; c < cols; ++c) gy[c] = row[cols + c] - row[c];
    }
  }

  // Large enough for the linear (not circular) convolution of the level
  // image with a kernel of the level's size.
  s.padRows = fftFriendlySize(rows + kernelRows - 1);
  s.padCols = fftFriendlySize(cols + kernelCols - 1);
  s.padTop = (s.padRows - rows) / 2;
  s.padBottom = s.padRows - rows - s.padTop;
  s.padLeft = (s.padCols - cols) / 2;
  s.padRight = s.padCols - cols - s.padLeft;
  s.blurGradXSpectrum = paddedSpectrum(s.blurGradX.data(), rows, cols, s);
  s.blurGradYSpectrum = paddedSpectrum(s.blurGradY.data(), rows, cols, s);
}

FftwBuffer paddedSpectrum(const double* plane, int rows, int cols,
                          const LevelSpectra& levelSpectra) {
  const LevelSpectra& s = levelSpectra;
  assert(s.padRows == s.padTop + rows + s.padBottom && s.padCols == s.padLeft + cols + s.padRight);
  FftwBuffer grid(cellCount(s.padRows, s.padCols));
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      grid[static_cast<std::size_t>(r + s.padTop) * s.padCols + (c + s.padLeft)][0] =
          plane[static_cast<std::size_t>(r) * cols + c];
    }
  }
  FftwBuffer spectrum(cellCount(s.padRows, s.padCols));
  transform2d(s.padRows, s.padCols, grid.data(), spectrum.data(), FFTW_FORWARD);
  return spectrum;
}

void gradientCoherenceMap(const LevelSpectra& levelSpectra, double* map, int rows, int cols,
                          int boxRows, int boxCols) {
  const std::size_t n = cellCount(rows, cols);
  assert(levelSpectra.blurGradX.size() == n && levelSpectra.blurGradY.size() == n);
  const std::vector<double> box(cellCount(boxRows, boxCols),
                                1.0 / (static_cast<double>(boxRows) * boxCols));

  std::vector<double> absX(n);
  std::vector<double> absY(n);
  for (std::size_t i = 0; i < n; ++i) {
    absX[i] = std::fabs(levelSpectra.blurGradX[i]);
    absY[i] = std::fabs(levelSpectra.blurGradY[i]);
  }
  const std::vector<double> sumX =
      boxMean(levelSpectra.blurGradX.data(), rows, cols, box, boxRows, boxCols);
  const std::vector<double> sumY =
      boxMean(levelSpectra.blurGradY.data(), rows, cols, box, boxRows, boxCols);
  const std::vector<double> magX = boxMean(absX.data(), rows, cols, box, boxRows, boxCols);
  const std::vector<double> magY = boxMean(absY.data(), rows, cols, box, boxRows, boxCols);

  // The +1 ties the map to gradient strength as well: faint gradients score
  // low even where they all agree.
  for (std::size_t i = 0; i < n; ++i) {
    map[i] = std::sqrt(sumX[i] * sumX[i] + sumY[i] * sumY[i]) /
             (std::sqrt(magX[i] * magX[i] + magY[i] * magY[i]) + 1.0);
  }
}

void releaseLevelSpectra(LevelSpectra& levelSpectra) { levelSpectra = LevelSpectra(); }

int fftFriendlySize(int n) {
  const double bases[4] = {2.0, 3.0, 5.0, 7.0};
  const double logN = std::log(static_cast<double>(n));
  double best = 0.0;
  for (int k = 0; k < 4; ++k) {
    const double candidate = std::pow(bases[k], std::ceil(logN / std::log(bases[k])));
    if (k == 0 || candidate <= best) best = candidate;
  }
  return static_cast<int>(best + 0.5);
}

}  // namespace kestrel
