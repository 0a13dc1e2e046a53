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
// Side of the square blocks over which the window search sums gradients;
// windows are far larger, so their scores barely feel the rounding.
constexpr int kBlockSide = 8;

struct Structure {
  double xx = 0.0;
  double yy = 0.0;
  double xy = 0.0;
};

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

  // Summed-area table, over blocks, of the gradients' structure tensor,
  // one block row and column larger.
  const int blockRows = (rows + kBlockSide - 1) / kBlockSide;
  const int blockCols = (cols + kBlockSide - 1) / kBlockSide;
  const int stride = blockCols + 1;
  std::vector<Structure> summed(cellCount(blockRows + 1, stride));
  for (int y = 0; y < rows; ++y) {
    Structure* blockRow = summed.data() + cellCount(y / kBlockSide + 1, stride) + 1;
    for (int x = 0; x < cols; ++x) {
      const std::size_t i = cellCount(y, cols) + x;
      if (clipped[i] > 0.0) continue;
      const double gx = x + 1 < cols ? grey[i + 1] - grey[i] : 0.0;
      const double gy = y + 1 < rows ? grey[i + cols] - grey[i] : 0.0;
      Structure& block = blockRow[x / kBlockSide];
      block.xx += gx * gx;
      block.yy += gy * gy;
      block.xy += gx * gy;
    }
  }
  for (int by = 1; by <= blockRows; ++by) {
    for (int bx = 1; bx <= blockCols; ++bx) {
      Structure& cell = summed[cellCount(by, stride) + bx];
      const Structure& up = summed[cellCount(by - 1, stride) + bx];
      const Structure& left = summed[cellCount(by, stride) + bx - 1];
      const Structure& corner = summed[cellCount(by - 1, stride) + bx - 1];
      cell.xx += up.xx + left.xx - corner.xx;
      cell.yy += up.yy + left.yy - corner.yy;
      cell.xy += up.xy + left.xy - corner.xy;
    }
  }
  const auto at = [&](int y, int x) -> const Structure& {
    return summed[cellCount(y / kBlockSide, stride) + x / kBlockSide];
  };

  double best = -1.0;
  for (int i = 0; i <= kWindowSteps; ++i) {
    const int top = (rows - region.height) * i / kWindowSteps;
    for (int j = 0; j <= kWindowSteps; ++j) {
      const int left = (cols - region.width) * j / kWindowSteps;
      const int bottom = top + region.height;
      const int right = left + region.width;
      const Structure& a = at(bottom, right);
      const Structure& b = at(top, right);
      const Structure& c = at(bottom, left);
      const Structure& d = at(top, left);
      const double xx = a.xx - b.xx - c.xx + d.xx;
      const double yy = a.yy - b.yy - c.yy + d.yy;
      const double xy = a.xy - b.xy - c.xy + d.xy;
      // The tensor's smaller eigenvalue: the gradient energy along the
      // direction the window's edges constrain least.
      const double weakest =
          0.5 * (xx + yy) - std::sqrt(0.25 * (xx - yy) * (xx - yy) + xy * xy);
      if (weakest > best) {
        best = weakest;
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
