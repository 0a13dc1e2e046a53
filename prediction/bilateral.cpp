#include "prediction/bilateral.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

// floor(span / sigma) + 1 cells cover a span; two more on each side hold what
// the blur spreads beyond it.
constexpr double kGridMargin = 5.0;
constexpr int kGridOffset = 2;

bool validSigma(double sigma) { return std::isfinite(sigma) && sigma > 0.0; }

int checkArguments(const double* input, const double* base, int width, int height,
                   double spaceSigma, double rangeSigma) {
  if (input == nullptr || base == nullptr || width < 1 || height < 1) return kBilateralBadPlane;
  if (!validSigma(spaceSigma) || !validSigma(rangeSigma)) return kBilateralBadSigma;
  return kBilateralOk;
}

// Cells along one axis for a span of the given length, computed in double so
// that an absurd span is caught before it is converted to an integer.
double cellsAlong(double span, double sigma) { return std::floor(span / sigma) + kGridMargin; }

std::size_t cellIndex(const BilateralGrid& grid, int x, int y, int r) {
  return 2 * ((static_cast<std::size_t>(x) * grid.gridY + y) * grid.gridR + r);
}

// Positions are never negative, so truncating after adding 0.5 rounds.
int nearestCell(double position) { return static_cast<int>(position + 0.5) + kGridOffset; }

// Two passes of [1 2 1]/4 along one axis, over every line whose other two
// indices are inner. Lines along an axis do not mix, so both passes run on
// one line before the next, each from a copy of the line as it was.
void blurAxis(BilateralGrid& grid, int axis) {
  const int sizes[3] = {grid.gridX, grid.gridY, grid.gridR};
  const std::size_t strides[3] = {2 * static_cast<std::size_t>(grid.gridY) * grid.gridR,
                                  2 * static_cast<std::size_t>(grid.gridR), 2};
  const int a = axis == 0 ? 1 : 0;
  const int b = axis == 2 ? 1 : 2;
  const int length = sizes[axis];
  const std::size_t stride = strides[axis];
  std::vector<double> line(2 * static_cast<std::size_t>(length));
  for (int i = 1; i < sizes[a] - 1; ++i) {
    for (int j = 1; j < sizes[b] - 1; ++j) {
      double* start = grid.cells.data() + i * strides[a] + j * strides[b];
      for (int pass = 0; pass < 2; ++pass) {
        for (int k = 0; k < length; ++k) {
          line[2 * k] = start[k * stride];
          line[2 * k + 1] = start[k * stride + 1];
        }
        for (int k = 1; k < length - 1; ++k) {
          for (int m = 0; m < 2; ++m) {
            start[k * stride + m] =
                (2.0 * line[2 * k + m] + line[2 * k - 2 + m] + line[2 * k + 2 + m]) / 4.0;
          }
        }
      }
    }
  }
}

}  // namespace

int buildBilateralGrid(const double* input, const double* base, int width, int height,
                       double spaceSigma, double rangeSigma, BilateralGrid& grid) {
  const int status = checkArguments(input, base, width, height, spaceSigma, rangeSigma);
  if (status != kBilateralOk) return status;

  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  double low = base[0];
  double high = base[0];
  for (std::size_t i = 0; i < pixels; ++i) {
    if (!std::isfinite(base[i])) return kBilateralBadGuide;
    low = std::min(low, base[i]);
    high = std::max(high, base[i]);
  }

  // A span of finite values can still overflow to infinity; the limit check
  // then refuses it like any other oversized grid.
  const double limit = static_cast<double>(kBilateralMaxGridCells);
  const double cellsX = cellsAlong(width - 1.0, spaceSigma);
  const double cellsY = cellsAlong(height - 1.0, spaceSigma);
  const double cellsR = cellsAlong(high - low, rangeSigma);
  if (!(cellsX <= limit && cellsY <= limit && cellsR <= limit)) return kBilateralGridTooLarge;
  const std::size_t gridX = static_cast<std::size_t>(cellsX);
  const std::size_t gridY = static_cast<std::size_t>(cellsY);
  const std::size_t gridR = static_cast<std::size_t>(cellsR);
  // Each factor is at most 2^24 and the second product is formed only when
  // the first is within the limit, so neither overflows.
  if (gridX * gridY > kBilateralMaxGridCells || gridX * gridY * gridR > kBilateralMaxGridCells) {
    return kBilateralGridTooLarge;
  }

  grid.gridX = static_cast<int>(gridX);
  grid.gridY = static_cast<int>(gridY);
  grid.gridR = static_cast<int>(gridR);
  grid.baseMin = low;
  grid.cells.assign(2 * gridX * gridY * gridR, 0.0);

  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t p = static_cast<std::size_t>(y) * width + x;
      const std::size_t c =
          cellIndex(grid, nearestCell(x / spaceSigma), nearestCell(y / spaceSigma),
                    nearestCell((base[p] - low) / rangeSigma));
      grid.cells[c] += input[p];
      grid.cells[c + 1] += 1.0;
    }
  }

  for (int axis = 0; axis < 3; ++axis) blurAxis(grid, axis);
  return kBilateralOk;
}

std::pair<double, double> trilinearSample(const BilateralGrid& grid, double px, double py,
                                          double pr) {
  assert(!std::isnan(px) && !std::isnan(py) && !std::isnan(pr));
  px = std::clamp(px, 0.0, grid.gridX - 1.0);
  py = std::clamp(py, 0.0, grid.gridY - 1.0);
  pr = std::clamp(pr, 0.0, grid.gridR - 1.0);
  // Non-negative now, so truncation is the floor.
  const int x0 = static_cast<int>(px);
  const int y0 = static_cast<int>(py);
  const int r0 = static_cast<int>(pr);
  const int xs[2] = {x0, std::min(x0 + 1, grid.gridX - 1)};
  const int ys[2] = {y0, std::min(y0 + 1, grid.gridY - 1)};
  const int rs[2] = {r0, std::min(r0 + 1, grid.gridR - 1)};
  const float fx = static_cast<float>(px - x0);
  const float fy = static_cast<float>(py - y0);
  const float fr = static_cast<float>(pr - r0);
  const float wx[2] = {1.0f - fx, fx};
  const float wy[2] = {1.0f - fy, fy};
  const float wr[2] = {1.0f - fr, fr};

  double value = 0.0;
  double weight = 0.0;
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      for (int k = 0; k < 2; ++k) {
        const float w = wx[i] * wy[j] * wr[k];
        const std::size_t c = cellIndex(grid, xs[i], ys[j], rs[k]);
        value += w * grid.cells[c];
        weight += w * grid.cells[c + 1];
      }
    }
  }
  return {value, weight};
}

int bilateralGridFilter(const double* input, const double* base, int width, int height,
                        double spaceSigma, double rangeSigma, bool earlyDivision, double* weight,
                        double* result) {
  if (result == nullptr || (!earlyDivision && weight == nullptr)) return kBilateralBadPlane;
  BilateralGrid grid;
  const int status = buildBilateralGrid(input, base, width, height, spaceSigma, rangeSigma, grid);
  if (status != kBilateralOk) return status;

  if (earlyDivision) {
    for (std::size_t c = 0; c < grid.cells.size(); c += 2) {
      const double sum = grid.cells[c + 1] == 0.0 ? 1.0 : grid.cells[c + 1];
      grid.cells[c] /= sum;
      grid.cells[c + 1] /= sum;
    }
  }

  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t p = static_cast<std::size_t>(y) * width + x;
      // Every pixel's own splat sits among the eight cells read here with a
      // corner weight of at least 1/8, so the weight sum is positive.
      const auto [value, weightSum] =
          trilinearSample(grid, x / spaceSigma + kGridOffset, y / spaceSigma + kGridOffset,
                          (base[p] - grid.baseMin) / rangeSigma + kGridOffset);
      if (earlyDivision) {
        result[p] = value;
      } else {
        weight[p] = weightSum;
        result[p] = value / weightSum;
      }
    }
  }
  return kBilateralOk;
}

int bilateralFilter(const BilateralParams& params) {
  if (params.output == nullptr) return kBilateralBadPlane;
  return bilateralGridFilter(params.input, params.base, params.width, params.height,
                             params.spaceSigma, params.rangeSigma, false, params.output,
                             params.output);
}

}  // namespace kestrel
