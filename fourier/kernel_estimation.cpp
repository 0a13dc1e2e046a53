#include "fourier/kernel_estimation.h"

#include <cstddef>

#include "fourier/fft_toolkit.h"

namespace kestrel {

void estimateKernel(const double* predGradX, const double* predGradY,
                    const LevelSpectra& levelSpectra, int rows, int cols, int kernelRows,
                    int kernelCols, double* kernel, double weight) {
  const LevelSpectra& s = levelSpectra;
  const std::size_t n = static_cast<std::size_t>(s.padRows) * static_cast<std::size_t>(s.padCols);
  FftwBuffer px = paddedSpectrum(predGradX, rows, cols, s);
  const FftwBuffer py = paddedSpectrum(predGradY, rows, cols, s);

  // Per frequency: K = a (conj(Px) Bx + conj(Py) By) / (a (|Px|^2 + |Py|^2) + weight),
  // written over Px.
  const double a = 0.5;
  const fftw_complex* bx = s.blurGradXSpectrum.data();
  const fftw_complex* by = s.blurGradYSpectrum.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double pxr = px[i][0], pxi = px[i][1], pyr = py[i][0], pyi = py[i][1];
    const double d = weight + a * (pxr * pxr + pxi * pxi + pyr * pyr + pyi * pyi);
    if (d == 0.0) {
      px[i][0] = px[i][1] = 0.0;
      continue;
    }
    px[i][0] = a * (pxr * bx[i][0] + pxi * bx[i][1] + pyr * by[i][0] + pyi * by[i][1]) / d;
    px[i][1] = a * (pxr * bx[i][1] - pxi * bx[i][0] + pyr * by[i][1] - pyi * by[i][0]) / d;
  }
  spectrumToKernel(px.data(), kernel, s.padRows, s.padCols, kernelRows, kernelCols);
}

}  // namespace kestrel
