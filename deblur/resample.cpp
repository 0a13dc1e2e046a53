#include "deblur/resample.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Output rows handed to one thread at a time; small planes stay on one
// thread.
constexpr int kRowGrain = 16;

// For every output index, taps input indices (already clamped) and weights
// summing to 1.
struct Contributions {
  int taps = 0;
  std::vector<int> index;
  std::vector<double> weight;
};

Contributions contributions(int inLength, int outLength, double scale, double kernelWidth,
                            bool widened) {
  Contributions table;
  table.taps = static_cast<int>(std::ceil(kernelWidth)) + 2;
  table.index.resize(static_cast<std::size_t>(outLength) * table.taps);
  table.weight.resize(table.index.size());
  for (int j = 0; j < outLength; ++j) {
    const double centre = (j + 1) / scale + 0.5 * (1.0 - 1.0 / scale) - 1.0;
    const int left = static_cast<int>(std::floor(centre - kernelWidth / 2.0));
    int* index = &table.index[static_cast<std::size_t>(j) * table.taps];
    double* weight = &table.weight[static_cast<std::size_t>(j) * table.taps];
    double sum = 0.0;
    for (int p = 0; p < table.taps; ++p) {
      const int i = left + p;
      const double x = centre - i;
      weight[p] = widened ? scale * std::max(0.0, 1.0 - std::fabs(x * scale))
                          : std::max(0.0, 1.0 - std::fabs(x));
      sum += weight[p];
      index[p] = std::clamp(i, 0, inLength - 1);
    }
    for (int p = 0; p < table.taps; ++p) weight[p] /= sum;
  }
  return table;
}

// Resamples every column of a rows x cols plane to outRows samples.
void resampleColumns(const double* source, double* destination, int cols, int outRows,
                     const Contributions& table) {
  parallelFor(0, outRows, kRowGrain, [&](int first, int last) {
    for (int j = first; j < last; ++j) {
      const int* index = &table.index[static_cast<std::size_t>(j) * table.taps];
      const double* weight = &table.weight[static_cast<std::size_t>(j) * table.taps];
      double* out = destination + static_cast<std::size_t>(j) * cols;
      for (int c = 0; c < cols; ++c) out[c] = 0.0;
      for (int p = 0; p < table.taps; ++p) {
        const double* in = source + static_cast<std::size_t>(index[p]) * cols;
        for (int c = 0; c < cols; ++c) out[c] += weight[p] * in[c];
      }
    }
  });
}

// Resamples every row of a rows x cols plane to outCols samples.
void resampleRows(const double* source, double* destination, int rows, int cols, int outCols,
                  const Contributions& table) {
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    for (int r = first; r < last; ++r) {
      const double* in = source + static_cast<std::size_t>(r) * cols;
      double* out = destination + static_cast<std::size_t>(r) * outCols;
      for (int j = 0; j < outCols; ++j) {
        const int* index = &table.index[static_cast<std::size_t>(j) * table.taps];
        const double* weight = &table.weight[static_cast<std::size_t>(j) * table.taps];
        double sum = 0.0;
        for (int p = 0; p < table.taps; ++p) sum += weight[p] * in[index[p]];
        out[j] = sum;
      }
    }
  });
}

}  // namespace

void resampleByScale(const double* source, double* destination, int rows, int cols,
                     double scale) {
  const int outRows = static_cast<int>(std::ceil(scale * rows));
  const int outCols = static_cast<int>(std::ceil(scale * cols));
  const double kernelWidth = scale < 1.0 ? 2.0 / scale : 2.0;
  const bool widened = scale <= 1.0;
  const Contributions down = contributions(rows, outRows, scale, kernelWidth, widened);
  const Contributions across = contributions(cols, outCols, scale, kernelWidth, widened);
  std::vector<double> temporary(static_cast<std::size_t>(outRows) * cols);
  resampleColumns(source, temporary.data(), cols, outRows, down);
  resampleRows(temporary.data(), destination, outRows, cols, outCols, across);
}

void resampleToSize(const double* source, double* destination, int rows, int cols,
                    int outRows, int outCols) {
  const double rowScale = static_cast<double>(outRows) / rows;
  const double colScale = static_cast<double>(outCols) / cols;
  const bool bothShrink = rowScale < 1.0 && colScale < 1.0;
  const bool widened = rowScale <= 1.0 && colScale <= 1.0;
  const Contributions down =
      contributions(rows, outRows, rowScale, bothShrink ? 2.0 / rowScale : 2.0, widened);
  const Contributions across =
      contributions(cols, outCols, colScale, bothShrink ? 2.0 / colScale : 2.0, widened);
  if (colScale >= rowScale) {
    std::vector<double> temporary(static_cast<std::size_t>(outRows) * cols);
    resampleColumns(source, temporary.data(), cols, outRows, down);
    resampleRows(temporary.data(), destination, outRows, cols, outCols, across);
  } else {
    std::vector<double> temporary(static_cast<std::size_t>(rows) * outCols);
    resampleRows(source, temporary.data(), rows, cols, outCols, across);
    resampleColumns(temporary.data(), destination, outCols, outRows, down);
  }
}

}  // namespace kestrel
