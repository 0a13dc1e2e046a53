// Inputs shared by the benchmark programs. Their content does not change the
// work done, only keeps the numbers realistic.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace kestrel::bench {

// rows x cols of smooth shading with sharp-edged blocks.
inline std::vector<double> shadedBlocks(int rows, int cols) {
  std::vector<double> image(static_cast<std::size_t>(rows) * cols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double shade = 0.4 + 0.2 * std::sin(r * 0.013) * std::cos(c * 0.021);
      image[static_cast<std::size_t>(r) * cols + c] =
          ((r / 48 + c / 64) % 3 == 0) ? shade + 0.3 : shade;
    }
  }
  return image;
}

// A side x side diagonal motion streak, summing to 1.
inline std::vector<double> diagonalStreak(int side) {
  std::vector<double> kernel(static_cast<std::size_t>(side) * side, 0.0);
  for (int i = 4; i < side - 4; ++i) kernel[i * side + (i + side / 2) / 2] = 1.0;
  double sum = 0.0;
  for (double v : kernel) sum += v;
  for (double& v : kernel) v /= sum;
  return kernel;
}

}  // namespace kestrel::bench
