#include "fourier/level_spectra.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

#include "fourier/fft_toolkit.h"
#include "fourier/grid.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Rows handed to one thread at a time; small planes stay on one thread.
constexpr int kRowGrain = 16;

// Sums of the zero-extended boxRows x boxCols window around every cell,
// times weight. Separable: each row's window sums first, then the column
// window sums of those, every one added term by term in order, so the
// rounding is that of a short direct sum.
std::vector<double> boxMean(const double* plane, int rows, int cols, int boxRows, int boxCols,
                            double weight) {
  const int top = (boxRows - 1) / 2;
  const int left = (boxCols - 1) / 2;
  std::vector<double> across(cellCount(rows, cols));
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    for (int r = first; r < last; ++r) {
      const double* in = plane + cellCount(r, cols);
      double* out = across.data() + cellCount(r, cols);
      for (int c = 0; c < cols; ++c) {
        const int from = std::max(c - left, 0);
        const int to = std::min(c - left + boxCols, cols);
        double sum = 0.0;
        for (int j = from; j < to; ++j) sum += in[j];
        out[c] = sum;
      }
    }
  });
  std::vector<double> mean(cellCount(rows, cols));
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    for (int r = first; r < last; ++r) {
      double* out = mean.data() + cellCount(r, cols);
      const int from = std::max(r - top, 0);
      const int to = std::min(r - top + boxRows, rows);
      std::fill(out, out + cols, 0.0);
      for (int i = from; i < to; ++i) {
        const double* in = across.data() + cellCount(i, cols);
        for (int c = 0; c < cols; ++c) out[c] += in[c];
      }
      for (int c = 0; c < cols; ++c) out[c] *= weight;
    }
  });
  return mean;
}

void placeInPaddedGrid(const double* plane, int rows, int cols, const LevelSpectra& s,
                       double* grid) {
  for (int r = 0; r < rows; ++r) {
    std::copy(plane + cellCount(r, cols), plane + cellCount(r, cols) + cols,
              grid + cellCount(r + s.padTop, s.padCols) + s.padLeft);
  }
}

std::unique_ptr<LevelScratch> makeScratch(int rows, int cols, int kernelRows,
                                          const LevelSpectra& s) {
  auto scratch = std::make_unique<LevelScratch>();
  LevelScratch& w = *scratch;
  const std::size_t padCells = cellCount(s.padRows, s.padCols);
  const std::size_t padHalf = cellCount(s.padRows, s.padHalfCols);
  w.padPlaneX = FftwRealBuffer(padCells);
  w.padPlaneY = FftwRealBuffer(padCells);
  w.padSpectrumX = FftwBuffer(padHalf);
  w.padSpectrumY = FftwBuffer(padHalf);
  w.padResult = FftwRealBuffer(padCells);
  // Only the level's rows of the padded grids are ever non-zero.
  const RowRanges levelRows = {{s.padTop, s.padTop + rows}};
  w.padForwardX = SplitRealTransform::forward(s.padRows, s.padCols, levelRows, w.padPlaneX.data(),
                                              w.padSpectrumX.data());
  w.padForwardY = SplitRealTransform::forward(s.padRows, s.padCols, levelRows, w.padPlaneY.data(),
                                              w.padSpectrumY.data());
  w.levelPlane = FftwRealBuffer(cellCount(rows, cols));
  w.levelSpectrum = FftwBuffer(cellCount(rows, s.halfCols));
  w.levelBackward = SplitRealTransform::backward(rows, cols, {{0, rows}}, w.levelSpectrum.data(),
                                                 w.levelPlane.data());
  planKernelWindow(w, rows, cols, s.padRows, s.padCols, kernelRows);
  return scratch;
}

}  // namespace

void prepareLevelSpectra(const double* levelImage, const double* kernel, int cols, int rows,
                         int kernelCols, int kernelRows, LevelSpectra& levelSpectra) {
  assert(rows >= 2 && cols >= 2 && kernelRows >= 1 && kernelCols >= 1);
  const std::size_t n = cellCount(rows, cols);
  LevelSpectra& s = levelSpectra;
  s = LevelSpectra();
  s.halfCols = cols / 2 + 1;
  const std::size_t half = cellCount(rows, s.halfCols);

  s.gradientPower.assign(half, 0.0);
  s.derivativeWeight.assign(half, 0.0);
  derivativeHalfSpectra(rows, cols, s.gradientPower.data(), s.derivativeWeight.data());

  {
    FftwRealBuffer tapered(n);
    edgeTaper(levelImage, tapered.data(), kernel, rows, cols, kernelRows, kernelCols);
    s.blurredSpectrum = FftwBuffer(half);
    SplitRealTransform::forward(rows, cols, {{0, rows}}, tapered.data(), s.blurredSpectrum.data())
        .execute();
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
  s.padHalfCols = s.padCols / 2 + 1;
  s.padTop = (s.padRows - rows) / 2;
  s.padBottom = s.padRows - rows - s.padTop;
  s.padLeft = (s.padCols - cols) / 2;
  s.padRight = s.padCols - cols - s.padLeft;
  s.scratch = makeScratch(rows, cols, kernelRows, s);
  parallelFor(0, 2, 1, [&](int first, int last) {
    for (int t = first; t < last; ++t) {
      if (t == 0) {
        s.blurGradXSpectrum = paddedSpectrum(s.blurGradX.data(), rows, cols, s);
      } else {
        s.blurGradYSpectrum = paddedSpectrum(s.blurGradY.data(), rows, cols, s);
      }
    }
  });
}

FftwBuffer paddedSpectrum(const double* plane, int rows, int cols,
                          const LevelSpectra& levelSpectra) {
  const LevelSpectra& s = levelSpectra;
  assert(s.padRows == s.padTop + rows + s.padBottom && s.padCols == s.padLeft + cols + s.padRight);
  FftwRealBuffer grid(cellCount(s.padRows, s.padCols));
  placeInPaddedGrid(plane, rows, cols, s, grid.data());
  FftwBuffer spectrum(cellCount(s.padRows, s.padHalfCols));
  SplitRealTransform::forward(s.padRows, s.padCols, {{s.padTop, s.padTop + rows}}, grid.data(),
                              spectrum.data())
      .execute();
  return spectrum;
}

void gradientCoherenceMap(const LevelSpectra& levelSpectra, double* map, int rows, int cols,
                          int boxRows, int boxCols) {
  const std::size_t n = cellCount(rows, cols);
  assert(levelSpectra.blurGradX.size() == n && levelSpectra.blurGradY.size() == n);
  const double weight = 1.0 / (static_cast<double>(boxRows) * boxCols);

  std::vector<double> absX(n);
  std::vector<double> absY(n);
  for (std::size_t i = 0; i < n; ++i) {
    absX[i] = std::fabs(levelSpectra.blurGradX[i]);
    absY[i] = std::fabs(levelSpectra.blurGradY[i]);
  }
  const std::vector<double> sumX =
      boxMean(levelSpectra.blurGradX.data(), rows, cols, boxRows, boxCols, weight);
  const std::vector<double> sumY =
      boxMean(levelSpectra.blurGradY.data(), rows, cols, boxRows, boxCols, weight);
  const std::vector<double> magX = boxMean(absX.data(), rows, cols, boxRows, boxCols, weight);
  const std::vector<double> magY = boxMean(absY.data(), rows, cols, boxRows, boxCols, weight);

  // The +1 ties the map to gradient strength as well: faint gradients score
  // low even where they all agree.
  for (std::size_t i = 0; i < n; ++i) {
    map[i] = std::sqrt(sumX[i] * sumX[i] + sumY[i] * sumY[i]) /
             (std::sqrt(magX[i] * magX[i] + magY[i] * magY[i]) + 1.0);
  }
}

void planKernelWindow(LevelScratch& scratch, int rows, int cols, int padRows, int padCols,
                      int kernelRows) {
  scratch.kernelRows = kernelRows;
  scratch.padBackward =
      SplitRealTransform::backward(padRows, padCols, kernelWindowRows(padRows, kernelRows),
                                   scratch.padSpectrumX.data(), scratch.padResult.data());
  scratch.levelForward =
      SplitRealTransform::forward(rows, cols, kernelWindowRows(rows, kernelRows),
                                  scratch.levelPlane.data(), scratch.levelSpectrum.data());
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
