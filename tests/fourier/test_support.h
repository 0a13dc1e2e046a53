// Slow, direct references and synthetic data shared by the fourier tests.
// Planes are rows x cols doubles, row-major; kernels are centred on element
// (kernelRows/2, kernelCols/2).
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <random>
#include <vector>

#include "fourier/fftw_resources.h"

namespace kestrel {
namespace testing {

using Plane = std::vector<double>;

inline int wrap(int i, int n) { return ((i % n) + n) % n; }

inline Plane randomPlane(int rows, int cols, unsigned seed, double lo = 0.0, double hi = 1.0) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(lo, hi);
  Plane plane(static_cast<std::size_t>(rows) * cols);
  for (double& v : plane) v = uniform(random);
  return plane;
}

// Textbook DFT, exp(sign 2 pi i (u r / rows + v c / cols)), unnormalised.
inline std::vector<std::complex<double>> naiveDft(const std::vector<std::complex<double>>& in,
                                                  int rows, int cols, int sign) {
  const double pi = std::acos(-1.0);
  std::vector<std::complex<double>> out(in.size());
  for (int u = 0; u < rows; ++u) {
    for (int v = 0; v < cols; ++v) {
      std::complex<double> sum = 0.0;
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
          const double phase =
              sign * 2.0 * pi *
              (static_cast<double>(u * r % rows) / rows + static_cast<double>(v * c % cols) / cols);
          sum += in[static_cast<std::size_t>(r) * cols + c] *
                 std::complex<double>(std::cos(phase), std::sin(phase));
        }
      }
      out[static_cast<std::size_t>(u) * cols + v] = sum;
    }
  }
  return out;
}

// Circular filtering with a centred kernel: element (i, j) reaches the
// input at offset direction * (i - kernelRows/2, j - kernelCols/2).
inline Plane circularFilter(const Plane& x, int rows, int cols, const Plane& kernel, int kernelRows,
                            int kernelCols, int direction) {
  Plane out(x.size(), 0.0);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      double sum = 0.0;
      for (int i = 0; i < kernelRows; ++i) {
        for (int j = 0; j < kernelCols; ++j) {
          const int rr = wrap(r + direction * (i - kernelRows / 2), rows);
          const int cc = wrap(c + direction * (j - kernelCols / 2), cols);
          sum += kernel[static_cast<std::size_t>(i) * kernelCols + j] *
                 x[static_cast<std::size_t>(rr) * cols + cc];
        }
      }
      out[static_cast<std::size_t>(r) * cols + c] = sum;
    }
  }
  return out;
}

// The spatial side of K F(x).
inline Plane circularConvolve(const Plane& x, int rows, int cols, const Plane& kernel,
                              int kernelRows, int kernelCols) {
  return circularFilter(x, rows, cols, kernel, kernelRows, kernelCols, -1);
}

// The spatial side of conj(K) F(x).
inline Plane circularCorrelate(const Plane& x, int rows, int cols, const Plane& kernel,
                               int kernelRows, int kernelCols) {
  return circularFilter(x, rows, cols, kernel, kernelRows, kernelCols, +1);
}

// Backward transform divided by the cell count.
inline std::vector<std::complex<double>> toSpace(const FftwBuffer& spectrum, int rows, int cols) {
  FftwBuffer input(spectrum.size());
  for (std::size_t i = 0; i < spectrum.size(); ++i) {
    input[i][0] = spectrum[i][0];
    input[i][1] = spectrum[i][1];
  }
  FftwBuffer out(spectrum.size());
  transform2d(rows, cols, input.data(), out.data(), FFTW_BACKWARD);
  std::vector<std::complex<double>> plane(spectrum.size());
  const double n = static_cast<double>(rows) * cols;
  for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = {out[i][0] / n, out[i][1] / n};
  return plane;
}

// Backward transform of a rows x (cols/2 + 1) half spectrum of a real
// rows x cols plane, divided by the cell count.
inline Plane halfToSpace(const FftwBuffer& spectrum, int rows, int cols) {
  FftwBuffer input(spectrum.size());
  for (std::size_t i = 0; i < spectrum.size(); ++i) {
    input[i][0] = spectrum[i][0];
    input[i][1] = spectrum[i][1];
  }
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  FftwRealBuffer out(n);
  FftwPlan::realBackward2d(rows, cols, input.data(), out.data()).execute();
  Plane plane(n);
  for (std::size_t i = 0; i < n; ++i) plane[i] = out[i] / static_cast<double>(n);
  return plane;
}

inline Plane realParts(const std::vector<std::complex<double>>& values) {
  Plane real(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) real[i] = values[i].real();
  return real;
}

// Forward differences with the last column (x) or last row (y) left at 0.
inline Plane forwardDiffX(const Plane& x, int rows, int cols) {
  Plane g(x.size(), 0.0);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c + 1 < cols; ++c)
      g[static_cast<std::size_t>(r) * cols + c] =
          x[static_cast<std::size_t>(r) * cols + c + 1] - x[static_cast<std::size_t>(r) * cols + c];
  return g;
}

inline Plane forwardDiffY(const Plane& x, int rows, int cols) {
  Plane g(x.size(), 0.0);
  for (int r = 0; r + 1 < rows; ++r)
    for (int c = 0; c < cols; ++c)
      g[static_cast<std::size_t>(r) * cols + c] =
          x[static_cast<std::size_t>(r + 1) * cols + c] - x[static_cast<std::size_t>(r) * cols + c];
  return g;
}

// A sharp test picture on a uniform background: a rotated square, a disc
// and a triangle give edges at many orientations. Everything stays at least
// `margin` cells away from the borders, so a blur whose kernel reaches less
// than that far is the same whether circular or zero-extended.
inline Plane syntheticPicture(int rows, int cols, int margin) {
  Plane x(static_cast<std::size_t>(rows) * cols, 0.2);
  const double inner = std::min(rows, cols) - 2.0 * margin;
  const auto inside = [](double px, double py, const double(*poly)[2], int count) {
    bool in = false;
    for (int a = 0, b = count - 1; a < count; b = a++) {
      if ((poly[a][1] > py) != (poly[b][1] > py) &&
          px < (poly[b][0] - poly[a][0]) * (py - poly[a][1]) / (poly[b][1] - poly[a][1]) +
                   poly[a][0])
        in = !in;
    }
    return in;
  };
  const double m = margin;
  const double square[4][2] = {{m + 0.30 * inner, m + 0.02 * inner},
                               {m + 0.55 * inner, m + 0.25 * inner},
                               {m + 0.30 * inner, m + 0.48 * inner},
                               {m + 0.05 * inner, m + 0.25 * inner}};
  const double triangle[3][2] = {{m + 0.10 * inner, m + 0.95 * inner},
                                 {m + 0.45 * inner, m + 0.55 * inner},
                                 {m + 0.60 * inner, m + 0.98 * inner}};
  const double discX = m + 0.75 * inner, discY = m + 0.30 * inner, radius = 0.2 * inner;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      double& v = x[static_cast<std::size_t>(r) * cols + c];
      if (inside(c, r, square, 4)) v = 0.85;
      if (inside(c, r, triangle, 3)) v = 0.6;
      if (std::hypot(c - discX, r - discY) < radius) v = 0.95;
      if (c > m + 0.70 * inner && c < m + 0.95 * inner && r > m + 0.62 * inner &&
          r < m + 0.90 * inner)
        v = 0.05;
    }
  }
  return x;
}

// An L-shaped motion path with a curved, fading tail in a 13 x 13 grid,
// summing to 1; deliberately not symmetric under any flip.
inline Plane motionKernel() {
  const int size = 13;
  Plane k(static_cast<std::size_t>(size) * size, 0.0);
  for (int c = 2; c <= 9; ++c) k[6 * size + c] = 1.0;
  for (int r = 2; r < 6; ++r) k[r * size + 9] = 0.7;
  k[1 * size + 10] = 0.5;
  k[1 * size + 11] = 0.3;
  k[7 * size + 2] = 0.6;
  k[8 * size + 1] = 0.4;
  double sum = 0.0;
  for (double v : k) sum += v;
  for (double& v : k) v /= sum;
  return k;
}

// Normalised cross-correlation of two equally sized arrays.
inline double normalisedCrossCorrelation(const Plane& a, const Plane& b) {
  double ma = 0.0, mb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ma += a[i];
    mb += b[i];
  }
  ma /= a.size();
  mb /= b.size();
  double ab = 0.0, aa = 0.0, bb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += (a[i] - ma) * (b[i] - mb);
    aa += (a[i] - ma) * (a[i] - ma);
    bb += (b[i] - mb) * (b[i] - mb);
  }
  return ab / std::sqrt(aa * bb);
}

// Peak signal-to-noise ratio (peak 1) over the cells at least `border`
// away from every edge.
inline double interiorPsnr(const Plane& a, const Plane& b, int rows, int cols, int border) {
  double sum = 0.0;
  int count = 0;
  for (int r = border; r < rows - border; ++r) {
    for (int c = border; c < cols - border; ++c) {
      const double d =
          a[static_cast<std::size_t>(r) * cols + c] - b[static_cast<std::size_t>(r) * cols + c];
      sum += d * d;
      ++count;
    }
  }
  return 10.0 * std::log10(count / sum);
}

}  // namespace testing
}  // namespace kestrel
