#include "deconv/median_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <vector>

namespace kestrel {
namespace {

// A strict weak order even with NaNs, which plain < is not; selection
// algorithms may run off their range under an inconsistent order.
bool ascending(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

}  // namespace

void medianFilter(const double* src, double* dst, int width, int height, int s) {
  assert(width >= 1 && height >= 1 && s >= 1);
  const int before = s / 2;
  const int after = s - before - 1;
  std::vector<double> result(static_cast<std::size_t>(width) * height);
  std::vector<double> window(static_cast<std::size_t>(s) * s);
  for (int i = 0; i < height; ++i) {
    const int top = std::max(i - before, 0);
    const int bottom = std::min(i + after, height - 1);
    for (int j = 0; j < width; ++j) {
      const int left = std::max(j - before, 0);
      const int right = std::min(j + after, width - 1);
      auto end = window.begin();
      for (int r = top; r <= bottom; ++r) {
        const double* row = src + static_cast<std::size_t>(r) * width;
        end = std::copy(row + left, row + right + 1, end);
      }
      const auto middle = window.begin() + (end - window.begin()) / 2;
      std::nth_element(window.begin(), middle, end, ascending);
      result[static_cast<std::size_t>(i) * width + j] = *middle;
    }
  }
  std::copy(result.begin(), result.end(), dst);
}

}  // namespace kestrel
