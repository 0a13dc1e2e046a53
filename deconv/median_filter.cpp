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

// A strict weak order even with NaNs, which plain < is not; merging needs
// one. Planes without NaNs, the usual case, are ordered by plain <.
struct WithNaNs {
  static bool ascending(double a, double b) {
    return a < b || (std::isnan(b) && !std::isnan(a));
  }
};
struct NumbersOnly {
  static bool ascending(double a, double b) { return a < b; }
};

// Stable insertion sort: the lists sorted here hold one window column.
template <typename Order>
void sortAscending(std::vector<double>& values) {
  for (std::size_t i = 1; i < values.size(); ++i) {
    const double v = values[i];
    std::size_t k = i;
    for (; k > 0 && Order::ascending(v, values[k - 1]); --k) values[k] = values[k - 1];
    values[k] = v;
  }
}

// The samples of one window kept in ascending order while the window slides
// along a row: a step takes out the column that leaves and merges in the
// one that enters, in one pass over the s*s values, instead of ordering
// them anew.
template <typename Order>
class SortedWindow {
 public:
  explicit SortedWindow(int capacity) {
    values_.reserve(static_cast<std::size_t>(capacity));
    merged_.reserve(static_cast<std::size_t>(capacity));
  }

  void clear() { values_.clear(); }

  // Every value of leaving is in the window; both lists are reordered. Of
  // equal values, the earliest kept are removed first and entering ones go
  // after those already there.
  void slide(std::vector<double>& leaving, std::vector<double>& entering) {
    sortAscending<Order>(leaving);
    sortAscending<Order>(entering);
    merged_.resize(values_.size() - leaving.size() + entering.size());
    double* into = merged_.data();
    std::size_t out = 0;
    std::size_t in = 0;
    for (const double v : values_) {
      if (out < leaving.size() && !Order::ascending(v, leaving[out]) &&
          !Order::ascending(leaving[out], v)) {
        ++out;
        continue;
      }
      while (in < entering.size() && Order::ascending(entering[in], v)) *into++ = entering[in++];
      *into++ = v;
    }
    while (in < entering.size()) *into++ = entering[in++];
    values_.swap(merged_);
  }

  double upperMedian() const { return values_[values_.size() / 2]; }

 private:
  std::vector<double> values_;
  std::vector<double> merged_;
};

template <typename Order>
void filterRows(const double* src, std::vector<double>& result, int width, int height, int s) {
  const int before = s / 2;
  const int after = s - before - 1;
  // Rows are independent: each block of rows slides a window of its own.
  parallelFor(0, height, kRowsPerBlock, [&](int firstRow, int lastRow) {
    SortedWindow<Order> window(s * s);
    std::vector<double> leaving;
    std::vector<double> entering;
    const auto gather = [&](int top, int bottom, int c, std::vector<double>& into) {
      for (int r = top; r <= bottom; ++r) into.push_back(src[static_cast<std::size_t>(r) * width + c]);
    };
    for (int i = firstRow; i < lastRow; ++i) {
      const int top = std::max(i - before, 0);
      const int bottom = std::min(i + after, height - 1);
      window.clear();
      leaving.clear();
      entering.clear();
      for (int c = 0; c <= std::min(after, width - 1); ++c) gather(top, bottom, c, entering);
      window.slide(leaving, entering);
      for (int j = 0; j < width; ++j) {
        result[static_cast<std::size_t>(i) * width + j] = window.upperMedian();
        leaving.clear();
        entering.clear();
        if (j - before >= 0) gather(top, bottom, j - before, leaving);
        if (j + after + 1 < width) gather(top, bottom, j + after + 1, entering);
        window.slide(leaving, entering);
      }
    }
  });
}

}  // namespace

void medianFilter(const double* src, double* dst, int width, int height, int s) {
  assert(width >= 1 && height >= 1 && s >= 1);
  const std::size_t n = static_cast<std::size_t>(width) * height;
  std::vector<double> result(n);
  if (std::any_of(src, src + n, [](double v) { return std::isnan(v); })) {
    filterRows<WithNaNs>(src, result, width, height, s);
  } else {
    filterRows<NumbersOnly>(src, result, width, height, s);
  }
  std::copy(result.begin(), result.end(), dst);
}

}  // namespace kestrel
