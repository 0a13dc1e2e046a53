#include "deblur/recentre.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace kestrel {

int recentreKernel(const double* kernel, double* output, int kernelWidth, int kernelHeight) {
  const std::size_t count = static_cast<std::size_t>(kernelWidth) * kernelHeight;
  const std::vector<double> source(kernel, kernel + count);
  const auto at = [&](int x, int y) {
    return source[static_cast<std::size_t>(y) * kernelWidth + x];
  };

  // One-based moments, so that the centre of an odd side n is (n + 1) / 2.
  double cx = 0.0;
  double cy = 0.0;
  for (int y = 0; y < kernelHeight; ++y) {
    for (int x = 0; x < kernelWidth; ++x) {
      cx += (x + 1) * at(x, y);
      cy += (y + 1) * at(x, y);
    }
  }
  const double dx = cx - (kernelWidth + 1) / 2;
  const double dy = cy - (kernelHeight + 1) / 2;

  for (int y = 0; y < kernelHeight; ++y) {
    for (int x = 0; x < kernelWidth; ++x) {
      const double sx = x + dx;
      const double sy = y + dy;
      double value = 0.0;
      // Written so that a NaN sampling point also counts as outside.
      if (sx >= 0.0 && sx <= kernelWidth - 1 && sy >= 0.0 && sy <= kernelHeight - 1) {
        const int x0 = static_cast<int>(std::floor(sx));
        const int y0 = static_cast<int>(std::floor(sy));
        const double fx = sx - x0;
        const double fy = sy - y0;
        // A neighbour with weight 0 is not read: on the last column or row,
        // or exactly on a grid point, it lies outside the grid.
        value = (1.0 - fx) * (1.0 - fy) * at(x0, y0);
        if (fx > 0.0) value += fx * (1.0 - fy) * at(x0 + 1, y0);
        if (fy > 0.0) value += (1.0 - fx) * fy * at(x0, y0 + 1);
        if (fx > 0.0 && fy > 0.0) value += fx * fy * at(x0 + 1, y0 + 1);
      }
      output[static_cast<std::size_t>(y) * kernelWidth + x] = value;
    }
  }
  return 0;
}

}  // namespace kestrel
