#include "deconv/median_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <vector>

#include "fourier/parallel.h"

namespace kestrel {
namespace {

constexpr int kRowsPerBlock = 16;

// A strict weak order even with NaNs, which plain < is not; sorted-range
// searches need one to stay within their range.
bool ascending(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// The samples of one window kept in ascending order while the window slides
// along a row: a step removes the column that leaves and inserts the one
// that enters, s values each, instead of ordering s*s values anew.
class SortedWindow {
 public:
  explicit SortedWindow(int capacity) { values_.reserve(static_cast<std::size_t>(capacity)); }

  void clear() { values_.clear(); }

  void insert(double v) {
    values_.insert(std::upper_bound(values_.begin(), values_.end(), v, ascending), v);
  }

  // v is in the window: the first element not ordered before it equals it.
  void remove(double v) {
    values_.erase(std::lower_bound(values_.begin(), values_.end(), v, ascending));
  }

  double upperMedian() const { return values_[values_.size() / 2]; }

 private:
  std::vector<double> values_;
};

}  // namespace

void medianFilter(const double* src, double* dst, int width, int height, int s) {
  assert(width >= 1 && height >= 1 && s >= 1);
  const int before = s / 2;
  const int after = s - before - 1;
  std::vector<double> result(static_cast<std::size_t>(width) * height);
  // Rows are independent: each block of rows slides a window of its own.
  parallelFor(0, height, kRowsPerBlock, [&](int firstRow, int lastRow) {
    SortedWindow window(s * s);
    const auto column = [&](int top, int bottom, int c, auto&& apply) {
      for (int r = top; r <= bottom; ++r) apply(src[static_cast<std::size_t>(r) * width + c]);
    };
    const auto insert = [&](double v) { window.insert(v); };
    const auto remove = [&](double v) { window.remove(v); };
    for (int i = firstRow; i < lastRow; ++i) {
      const int top = std::max(i - before, 0);
      const int bottom = std::min(i + after, height - 1);
      window.clear();
      for (int c = 0; c <= std::min(after, width - 1); ++c) column(top, bottom, c, insert);
      for (int j = 0; j < width; ++j) {
        result[static_cast<std::size_t>(i) * width + j] = window.upperMedian();
        if (j - before >= 0) column(top, bottom, j - before, remove);
        if (j + after + 1 < width) column(top, bottom, j + after + 1, insert);
      }
    }
  });
  std::copy(result.begin(), result.end(), dst);
}

}  // namespace kestrel
