#include "fourier/kernel_estimation.h"

#include <cassert>
#include <cstddef>

#include "fourier/fft_toolkit.h"

namespace kestrel {
namespace {

// Places a rows x cols plane at (top, left) in a zero grid.
void placePlane(const double* plane, int rows, int cols, int top, int left, int padCols,
                FftwBuffer& grid) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      grid[static_cast<std::size_t>(r + top) * padCols + (c + left)][0] =
          plane[static_cast<std::size_t>(r) * cols + c];
    }
  }
}

}  // namespace

void estimateKernel(const double* predGradX, const double* predGradY,
                    const LevelSpectra& levelSpectra, int rows, int cols, int kernelRows,
                    int kernelCols, double* kernel, double weight) {
  const LevelSpectra& s = levelSpectra;
  assert(s.padRows == s.padTop + rows + s.padBottom && s.padCols == s.padLeft + cols + s.padRight);
  const std::size_t n = static_cast<std::size_t>(s.padRows) * static_cast<std::size_t>(s.padCols);

  FftwBuffer inputX(n);
  FftwBuffer inputY(n);
  placePlane(predGradX, rows, cols, s.padTop, s.padLeft, s.padCols, inputX);
  placePlane(predGradY, rows, cols, s.padTop, s.padLeft, s.padCols, inputY);
  FftwBuffer px(n);
  FftwBuffer py(n);
  const FftwPlan forward =
      FftwPlan::dft2d(s.padRows, s.padCols, inputX.data(), px.data(), FFTW_FORWARD);
  forward.execute();
  forward.execute(inputY.data(), py.data());

  // Per frequency: K = a (conj(Px) Bx + conj(Py) By) / (a (|Px|^2 + |Py|^2) + weight).
  const double a = 0.5;
  const fftw_complex* bx = s.blurGradXSpectrum.data();
  const fftw_complex* by = s.blurGradYSpectrum.data();
  fftw_complex* k = inputX.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double pxr = px[i][0], pxi = px[i][1], pyr = py[i][0], pyi = py[i][1];
    const double d = weight + a * (pxr * pxr + pxi * pxi + pyr * pyr + pyi * pyi);
    if (d == 0.0) {
      k[i][0] = k[i][1] = 0.0;
      continue;
    }
    k[i][0] = a * (pxr * bx[i][0] + pxi * bx[i][1] + pyr * by[i][0] + pyi * by[i][1]) / d;
    k[i][1] = a * (pxr * bx[i][1] - pxi * bx[i][0] + pyr * by[i][1] - pyi * by[i][0]) / d;
  }
  spectrumToKernel(k, kernel, s.padRows, s.padCols, kernelRows, kernelCols);
}

}  // namespace kestrel
