#include "deblur/estimation_region.h"

#include <algorithm>
#include <cmath>

#include "fourier/grid.h"

namespace kestrel {
namespace {

// Window positions tried along each side, past the first.
constexpr int kWindowSteps = 16;
// A sample at or above this level counts as clipped.
constexpr double kHighlightLevel = 0.97;

}  // namespace

std::vector<double> clippedPixels(const double* planes, int height, int width, int channels) {
  const std::size_t n = cellCount(height, width);
  std::vector<double> clipped(n, 0.0);
  for (int c = 0; c < channels; ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      if (planes[c * n + i] >= kHighlightLevel) clipped[i] = 1.0;
    }
  }
  return clipped;
}

Region richestRegion(const double* grey, const double* clipped, int rows, int cols,
                     double mostPixels) {
  Region region{0, 0, cols, rows};
  if (static_cast<double>(rows) * cols <= mostPixels) return region;
  const double shrink = std::sqrt(mostPixels / (static_cast<double>(rows) * cols));
  region.height = std::max(1, static_cast<int>(rows * shrink));
  region.width = std::max(1, static_cast<int>(cols * shrink));

  // Summed-area table of |d/dx| + |d/dy|, one row and column larger.
  const int stride = cols + 1;
  std::vector<double> summed(cellCount(rows + 1, stride), 0.0);
  for (int y = 0; y < rows; ++y) {
    double rowSum = 0.0;
    for (int x = 0; x < cols; ++x) {
      const std::size_t i = cellCount(y, cols) + x;
      double edge = 0.0;
      if (clipped[i] <= 0.0) {
        if (x + 1 < cols) edge += std::fabs(grey[i + 1] - grey[i]);
        if (y + 1 < rows) edge += std::fabs(grey[i + cols] - grey[i]);
      }
      rowSum += edge;
      summed[cellCount(y + 1, stride) + x + 1] = summed[cellCount(y, stride) + x + 1] + rowSum;
    }
  }
  double best = -1.0;
  for (int i = 0; i <= kWindowSteps; ++i) {
    const int top = (rows - region.height) * i / kWindowSteps;
    for (int j = 0; j <= kWindowSteps; ++j) {
      const int left = (cols - region.width) * j / kWindowSteps;
      const int bottom = top + region.height;
      const int right = left + region.width;
      const double edges = summed[cellCount(bottom, stride) + right] -
                           summed[cellCount(top, stride) + right] -
                           summed[cellCount(bottom, stride) + left] +
                           summed[cellCount(top, stride) + left];
      if (edges > best) {
        best = edges;
        region.top = top;
        region.left = left;
      }
    }
  }
  return region;
}

std::vector<double> cropPlanes(const double* planes, int height, int width, int channels,
                               const Region& region) {
  const std::size_t regionCells = cellCount(region.height, region.width);
  std::vector<double> out(regionCells * channels);
  for (int c = 0; c < channels; ++c) {
    const double* plane = planes + cellCount(height, width) * c;
    for (int y = 0; y < region.height; ++y) {
      const double* from = plane + cellCount(region.top + y, width) + region.left;
      std::copy(from, from + region.width, out.data() + regionCells * c + cellCount(y, region.width));
    }
  }
  return out;
}

}  // namespace kestrel
