#include "deconv/median_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/parallel.h"

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

// The 7 x 7 window of interior samples, by comparator networks: no branch
// depends on the data, and each comparator runs over a row of lanes at once,
// which the compiler turns into vector minimum and maximum instructions.
// Minimum and maximum only ever move values, so for planes without NaNs
// the networks pick exactly the value the sorted window has at its middle.
constexpr int kSide = 7;
constexpr int kLanes = 32;

// An optimal 16-comparator sorting network for 7 inputs.
constexpr std::pair<int, int> kSortSeven[] = {{0, 6}, {2, 3}, {4, 5}, {0, 2}, {1, 4}, {3, 6},
                                             {0, 1}, {2, 5}, {3, 4}, {1, 2}, {4, 6}, {2, 3},
                                             {4, 5}, {1, 2}, {3, 4}, {5, 6}};

// With the window's columns and then its rows sorted, cell (r, c) has at
// least (r + 1)(c + 1) values at or below it and (7 - r)(7 - c) at or above
// it. The 10 cells with more than 25 above lie at or below the median, the
// 10 with more than 25 below at or above it; the median of the 49 is the
// median of the 29 cells left, listed here as r * 7 + c.
constexpr int kCandidates[] = {4,  5,  6,  10, 11, 12, 13, 16, 17, 18, 19, 20, 22, 23, 24,
                               25, 26, 28, 29, 30, 31, 32, 35, 36, 37, 38, 42, 43, 44};
constexpr int kCandidateCount = static_cast<int>(std::size(kCandidates));

// low and high never overlap; saying so lets the loop be vectorised.
void compareExchange(double* __restrict low, double* __restrict high, int lanes) {
  for (int k = 0; k < lanes; ++k) {
    const double a = low[k];
    const double b = high[k];
    low[k] = std::min(a, b);
    high[k] = std::max(a, b);
  }
}

// The median of the 29 candidate cells by forgetful selection. Of any 16
// of them, the smallest has 15 above it and the largest 15 below, so
// neither is the median and dropping both leaves it the median of the
// rest; each round drops the two and takes in one more candidate, until
// the last three, whose middle one is the median.
void selectMedian(double (*window)[kLanes], double* out) {
  int slots[kCandidateCount / 2 + 2];
  int size = kCandidateCount / 2 + 2;
  for (int k = 0; k < size; ++k) slots[k] = kCandidates[k];
  int next = size;
  while (true) {
    for (int k = 1; k < size; ++k) compareExchange(window[slots[0]], window[slots[k]], kLanes);
    for (int k = 1; k + 1 < size; ++k)
      compareExchange(window[slots[k]], window[slots[size - 1]], kLanes);
    if (next == kCandidateCount) break;
    slots[0] = kCandidates[next++];
    --size;
  }
  std::copy(window[slots[1]], window[slots[1]] + kLanes, out);
}

// Medians of the interior samples j = 3 ... width - 4 of row i (3 to
// height - 4) of a plane without NaNs. columns: 7 x width scratch.
// Built twice: with AVX2, which handles twice the samples per instruction,
// and without, chosen once by the processor at load time. Minimum and
// maximum give the same values either way.
__attribute__((target_clones("avx2", "default"))) void filterInteriorRow(const double* src, double* result, int width, int i,
                       std::vector<double>& columns) {
  for (int r = 0; r < kSide; ++r) {
    const double* row = src + static_cast<std::size_t>(i - kSide / 2 + r) * width;
    std::copy(row, row + width, columns.data() + static_cast<std::size_t>(r) * width);
  }
  for (const auto& [a, b] : kSortSeven) {
    compareExchange(columns.data() + static_cast<std::size_t>(a) * width,
                    columns.data() + static_cast<std::size_t>(b) * width, width);
  }
  double window[kSide * kSide][kLanes] = {};
  double medians[kLanes];
  for (int first = kSide / 2; first < width - kSide / 2; first += kLanes) {
    const int lanes = std::min(kLanes, width - kSide / 2 - first);
    for (int r = 0; r < kSide; ++r) {
      for (int c = 0; c < kSide; ++c) {
        const double* from =
            columns.data() + static_cast<std::size_t>(r) * width + first - kSide / 2 + c;
        std::copy(from, from + lanes, window[r * kSide + c]);
      }
    }
    for (int r = 0; r < kSide; ++r) {
      for (const auto& [a, b] : kSortSeven) {
        compareExchange(window[r * kSide + a], window[r * kSide + b], kLanes);
      }
    }
    selectMedian(window, medians);
    std::copy(medians, medians + lanes, result + static_cast<std::size_t>(i) * width + first);
  }
}

template <typename Order>
void filterRows(const double* src, std::vector<double>& result, int width, int height, int s) {
  const int before = s / 2;
  const int after = s - before - 1;
  const bool networks =
      std::is_same_v<Order, NumbersOnly> && s == kSide && width >= kSide && height >= kSide;
  // Rows are independent: each block of rows slides a window of its own.
  parallelFor(0, height, kRowsPerBlock, [&](int firstRow, int lastRow) {
    SortedWindow<Order> window(s * s);
    std::vector<double> leaving;
    std::vector<double> entering;
    std::vector<double> columns(networks ? static_cast<std::size_t>(kSide) * width : 0);
    const auto gather = [&](int top, int bottom, int c, std::vector<double>& into) {
      for (int r = top; r <= bottom; ++r) into.push_back(src[static_cast<std::size_t>(r) * width + c]);
    };
    for (int i = firstRow; i < lastRow; ++i) {
      const int top = std::max(i - before, 0);
      const int bottom = std::min(i + after, height - 1);
      if (networks && i - before >= 0 && i + after < height) {
        filterInteriorRow(src, result.data(), width, i, columns);
        // The three samples at each end have narrower windows.
        for (const int j : {0, 1, 2, width - 3, width - 2, width - 1}) {
          entering.clear();
          for (int c = std::max(j - before, 0); c <= std::min(j + after, width - 1); ++c) {
            gather(top, bottom, c, entering);
          }
          const auto middle = entering.begin() + static_cast<std::ptrdiff_t>(entering.size() / 2);
          std::nth_element(entering.begin(), middle, entering.end());
          result[static_cast<std::size_t>(i) * width + j] = *middle;
        }
        continue;
      }
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
