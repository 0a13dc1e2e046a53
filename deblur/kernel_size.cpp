#include "deblur/kernel_size.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "deblur/sparse_estimation.h"

namespace kestrel {
namespace {

constexpr int kLeastProbeSide = 15;
constexpr int kLargestProbeSide = 75;
constexpr int kProbeSideDivisor = 5;
// Mass left outside the measured window: the generous estimate's faint specks
// far from the path must not stretch it.
constexpr double kOutsideMassShare = 0.01;
// Cells added on each side of the measured reach: a share of it, at least
// kLeastMarginCells.
constexpr double kMarginShare = 0.15;
constexpr int kLeastMarginCells = 2;

int oddAtMost(int side) { return side % 2 == 0 ? side - 1 : side; }

// Half-width of the narrowest window centred on cell n / 2 of a line of n
// masses that holds all but kOutsideMassShare of their sum.
int reach(const std::vector<double>& mass) {
  const int n = static_cast<int>(mass.size());
  const int centre = n / 2;
  double total = 0.0;
  for (double m : mass) total += m;
  if (!(total > 0.0)) return 0;
  double inside = mass[centre];
  int r = 0;
  while (r < centre && inside < (1.0 - kOutsideMassShare) * total) {
    ++r;
    inside += mass[centre - r] + mass[centre + r];
  }
  return r;
}

int sideFor(int reachCells, int limit) {
  const int margin =
      std::max(kLeastMarginCells, static_cast<int>(std::ceil(kMarginShare * reachCells)));
  return std::clamp(2 * (reachCells + margin) + 1, 3, limit);
}

}  // namespace

int probeKernelSide(int width, int height) {
  int side = oddAtMost(std::clamp(std::min(width, height) / kProbeSideDivisor, kLeastProbeSide,
                                  kLargestProbeSide));
  while (side >= 3 && !sparseScheduleFitsPicture(sparseSchedule(width, height, side, side))) {
    side -= 2;
  }
  return side >= 3 ? side : 0;
}

KernelSize kernelExtent(const double* kernel, int rows, int cols) {
  std::vector<double> columnMass(cols, 0.0);
  std::vector<double> rowMass(rows, 0.0);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const double v = kernel[static_cast<std::size_t>(y) * cols + x];
      columnMass[x] += v;
      rowMass[y] += v;
    }
  }
  return {sideFor(reach(columnMass), cols), sideFor(reach(rowMass), rows)};
}

KernelSize measureKernelSize(const double* input, int height, int width, int channels,
                             KernelSize given, bool automaticWidth, bool automaticHeight,
                             double noiseSigma, const DeblurProgressCallback& progress) {
  const int probe = probeKernelSide(width, height);
  const int probeWidth = automaticWidth ? probe : given.width;
  const int probeHeight = automaticHeight ? probe : given.height;
  std::vector<double> kernel(static_cast<std::size_t>(probeWidth) * probeHeight);
  DeblurProgressCallback measuring;
  if (progress) {
    measuring = [&progress](const DeblurProgress& report) {
      DeblurProgress relabelled = report;
      if (relabelled.stage == DeblurProgress::Stage::KernelEstimation) {
        relabelled.stage = DeblurProgress::Stage::SizeMeasurement;
      }
      progress(relabelled);
    };
  }
  estimatePictureKernelSparse(input, height, width, channels, kernel.data(), probeHeight,
                              probeWidth, noiseSigma, measuring);
  const KernelSize extent = kernelExtent(kernel.data(), probeHeight, probeWidth);
  return {automaticWidth ? extent.width : given.width,
          automaticHeight ? extent.height : given.height};
}

}  // namespace kestrel
