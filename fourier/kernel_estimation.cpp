#include "fourier/kernel_estimation.h"

#include <algorithm>
#include <cassert>
#include <cstddef>

#include "fourier/fft_toolkit.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Half-spectrum rows handed to one thread at a time.
constexpr int kRowGrain = 16;

// Copies the plane into its place in the padded grid; the cells around it
// stay 0 from the scratch grid's construction.
void placeInPaddedGrid(const double* plane, int rows, int cols, const LevelSpectra& s,
                       double* grid) {
  for (int r = 0; r < rows; ++r) {
    const double* in = plane + static_cast<std::size_t>(r) * cols;
    std::copy(in, in + cols, grid + static_cast<std::size_t>(r + s.padTop) * s.padCols + s.padLeft);
  }
}

}  // namespace

void estimateKernel(const double* predGradX, const double* predGradY,
                    LevelSpectra& levelSpectra, int rows, int cols, int kernelRows,
                    int kernelCols, double* kernel, double weight) {
  LevelSpectra& s = levelSpectra;
  assert(s.scratch != nullptr);
  LevelScratch& w = *s.scratch;

  if (w.kernelRows != kernelRows) {
    planKernelWindow(w, rows, cols, s.padRows, s.padCols, kernelRows);
  }
  placeInPaddedGrid(predGradX, rows, cols, s, w.padPlaneX.data());
  placeInPaddedGrid(predGradY, rows, cols, s, w.padPlaneY.data());
  w.padForwardX.execute();
  w.padForwardY.execute();

  // Per frequency: K = a (conj(Px) Bx + conj(Py) By) / (a (|Px|^2 + |Py|^2) + weight),
  // written over Px.
  const double a = 0.5;
  fftw_complex* px = w.padSpectrumX.data();
  const fftw_complex* py = w.padSpectrumY.data();
  const fftw_complex* bx = s.blurGradXSpectrum.data();
  const fftw_complex* by = s.blurGradYSpectrum.data();
  const std::size_t rowLength = static_cast<std::size_t>(s.padHalfCols);
  parallelFor(0, s.padRows, kRowGrain, [&](int first, int last) {
    const std::size_t end = static_cast<std::size_t>(last) * rowLength;
    for (std::size_t i = static_cast<std::size_t>(first) * rowLength; i < end; ++i) {
      const double pxr = px[i][0], pxi = px[i][1], pyr = py[i][0], pyi = py[i][1];
      const double d = weight + a * (pxr * pxr + pxi * pxi + pyr * pyr + pyi * pyi);
      if (d == 0.0) {
        px[i][0] = px[i][1] = 0.0;
        continue;
      }
      px[i][0] = a * (pxr * bx[i][0] + pxi * bx[i][1] + pyr * by[i][0] + pyi * by[i][1]) / d;
      px[i][1] = a * (pxr * bx[i][1] - pxi * bx[i][0] + pyr * by[i][1] - pyi * by[i][0]) / d;
    }
  });
  w.padBackward.execute();
  cutKernel(w.padResult.data(), kernel, s.padRows, s.padCols, kernelRows, kernelCols,
            static_cast<double>(s.padRows) * s.padCols);
}

}  // namespace kestrel
