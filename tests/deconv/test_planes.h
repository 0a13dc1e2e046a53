// Planes, kernels and weights shared by the deconvolution tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace kestrel::testing {

inline std::vector<double> randomPlane(int rows, int cols, unsigned seed, double low = 0.0,
                                       double high = 1.0) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(low, high);
  std::vector<double> plane(static_cast<std::size_t>(rows) * cols);
  for (double& v : plane) v = uniform(random);
  return plane;
}

// A camera-shake kernel: a bent stroke drawn with bilinear splats along a
// quarter turn of a circle, normalised to sum 1. side must be odd.
inline std::vector<double> shakeKernel(int side) {
  std::vector<double> kernel(static_cast<std::size_t>(side) * side, 0.0);
  const double radius = 0.8 * (side - 1);
  const int steps = 8 * side;
  for (int s = 0; s <= steps; ++s) {
    const double angle = 1.5707963267948966 * s / steps;
    const double x = radius * std::cos(angle) + 0.1 * (side - 1);
    const double y = (side - 1) - radius * std::sin(angle) - 0.1 * (side - 1);
    const int x0 = static_cast<int>(std::floor(x));
    const int y0 = static_cast<int>(std::floor(y));
    const double fx = x - x0, fy = y - y0;
    for (int dy = 0; dy <= 1; ++dy) {
      for (int dx = 0; dx <= 1; ++dx) {
        const int cx = std::clamp(x0 + dx, 0, side - 1);
        const int cy = std::clamp(y0 + dy, 0, side - 1);
        kernel[static_cast<std::size_t>(cy) * side + cx] +=
            (dx ? fx : 1.0 - fx) * (dy ? fy : 1.0 - fy);
      }
    }
  }
  double sum = 0.0;
  for (double v : kernel) sum += v;
  for (double& v : kernel) v /= sum;
  return kernel;
}

// The gradient iterations stop on rounded quotients: Q = 1/mu halved ten
// times is exact, but 1/Q divided by mu can land just below 1024 and allow
// an eleventh step. Returns the first weight on a grid of 1e-4 for which it
// does, found from that rule alone; the grid point before it is one for
// which it does not.
inline double firstWeightWithAnEleventhStep() {
  for (int i = 1; i < 1000; ++i) {
    const double mu = i * 1e-4;
    const double q = 1.0 / mu / 1024.0;
    if (q >= 0.01 && 1.0 / q / mu < 1024.0) return mu;
  }
  return 0.0;
}

}  // namespace kestrel::testing
