#include "prediction/filter_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace kestrel {
namespace {

// The limit of the normalised Gaussian as sigma -> 0: every element at the
// smallest distance from the centre gets the same share, the others nothing.
std::vector<double> nearestToCentre(unsigned columns, unsigned rows) {
  const double cx = (columns - 1.0) / 2.0;
  const double cy = (rows - 1.0) / 2.0;
  std::vector<double> distances(static_cast<std::size_t>(columns) * rows);
  for (unsigned i = 0; i < rows; ++i) {
    for (unsigned j = 0; j < columns; ++j) {
      distances[static_cast<std::size_t>(i) * columns + j] =
          (j - cx) * (j - cx) + (i - cy) * (i - cy);
    }
  }
  const double nearest = *std::min_element(distances.begin(), distances.end());
  const double count = static_cast<double>(std::count(distances.begin(), distances.end(), nearest));
  std::vector<double> kernel(distances.size(), 0.0);
  for (std::size_t k = 0; k < kernel.size(); ++k) {
    if (distances[k] == nearest) kernel[k] = 1.0 / count;
  }
  return kernel;
}

// Floor division, so that a target smaller than the source gets a negative
// offset rounded the same way as a positive one.
long long floorHalf(long long value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); }

}  // namespace

std::vector<double> makeGaussianKernel(unsigned columns, unsigned rows, double sigma) {
  if (columns == 0 || rows == 0) return {};
  if (!(sigma > 0.0)) return nearestToCentre(columns, rows);

  const double cx = (columns - 1.0) / 2.0;
  const double cy = (rows - 1.0) / 2.0;
  std::vector<double> kernel(static_cast<std::size_t>(columns) * rows);
  double sum = 0.0;
  for (unsigned i = 0; i < rows; ++i) {
    for (unsigned j = 0; j < columns; ++j) {
      const double value =
          std::exp(((j - cx) * (j - cx) + (i - cy) * (i - cy)) / (-2.0 * sigma * sigma));
      kernel[static_cast<std::size_t>(i) * columns + j] = value;
      sum += value;
    }
  }
  if (!(sum > 0.0) || !std::isfinite(sum)) return nearestToCentre(columns, rows);
  for (double& value : kernel) value /= sum;
  return kernel;
}

std::vector<double> makeDiffKernel() { return {1.0, -1.0}; }

std::vector<double> centerInGrid(const double* source, unsigned columns, unsigned rows,
                                 unsigned targetColumns, unsigned targetRows) {
  std::vector<double> grid(static_cast<std::size_t>(targetColumns) * targetRows, 0.0);
  if (columns == targetColumns && rows == targetRows) {
    std::copy(source, source + grid.size(), grid.begin());
    return grid;
  }
  const long long x0 = floorHalf(static_cast<long long>(targetColumns) - columns + 1);
  const long long y0 = floorHalf(static_cast<long long>(targetRows) - rows + 1);
  for (long long i = std::max(0LL, -y0); i < rows && y0 + i < targetRows; ++i) {
    for (long long j = std::max(0LL, -x0); j < columns && x0 + j < targetColumns; ++j) {
      grid[static_cast<std::size_t>(y0 + i) * targetColumns + static_cast<std::size_t>(x0 + j)] =
          source[static_cast<std::size_t>(i) * columns + static_cast<std::size_t>(j)];
    }
  }
  return grid;
}

std::vector<double> gaussianInGrid(unsigned columns, unsigned rows, double sigma,
                                   unsigned targetColumns, unsigned targetRows) {
  const std::vector<double> kernel = makeGaussianKernel(columns, rows, sigma);
  return centerInGrid(kernel.data(), columns, rows, targetColumns, targetRows);
}

std::vector<double> diffXInGrid(unsigned targetColumns, unsigned targetRows) {
  const std::vector<double> kernel = makeDiffKernel();
  return centerInGrid(kernel.data(), 2, 1, targetColumns, targetRows);
}

std::vector<double> diffYInGrid(unsigned targetColumns, unsigned targetRows) {
  const std::vector<double> kernel = makeDiffKernel();
  return centerInGrid(kernel.data(), 1, 2, targetColumns, targetRows);
}

}  // namespace kestrel
