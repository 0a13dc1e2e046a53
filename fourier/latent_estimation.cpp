#include "fourier/latent_estimation.h"

#include <cassert>
#include <cstddef>

#include "fourier/fft_toolkit.h"

namespace kestrel {

void estimateLatent(const double* kernel, double* latent, const LevelSpectra& levelSpectra,
                    int rows, int cols, int kernelRows, int kernelCols, double weight) {
  const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const LevelSpectra& s = levelSpectra;
  assert(s.blurredSpectrum.size() == n && s.derivativeWeight.size() == n &&
         s.gradientPower.size() == n);

  FftwBuffer k(n);
  kernelToSpectrum(kernel, k.data(), rows, cols, kernelRows, kernelCols);

  // Per frequency: X = conj(K) Y W / (W |K|^2 + weight G).
  FftwBuffer x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double kr = k[i][0], ki = k[i][1];
    const double yr = s.blurredSpectrum[i][0], yi = s.blurredSpectrum[i][1];
    const double w = s.derivativeWeight[i][0];
    const double d = w * (kr * kr + ki * ki) + weight * s.gradientPower[i][0];
    if (d == 0.0) continue;
    x[i][0] = (kr * yr + ki * yi) * w / d;
    x[i][1] = (kr * yi - ki * yr) * w / d;
  }
  FftwBuffer image(n);
  transform2d(rows, cols, x.data(), image.data(), FFTW_BACKWARD);

  const double cells = static_cast<double>(rows) * cols;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = image[i][0] / cells;
    // Written so that a value that is not a number also lands on 0.
    latent[i] = v > 1.0 ? 1.0 : (v > 0.0 ? v : 0.0);
  }
}

}  // namespace kestrel
