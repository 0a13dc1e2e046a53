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
constexpr int kFirstProbeSide = 25;
constexpr int kProbeGrowth = 2;
// Mass of the path's cells left outside the measured window.
constexpr double kOutsideMassShare = 0.01;
constexpr double kPathShare = 0.25;
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

struct Reach {
  int across = 0;
  int down = 0;
};

// Reach of the cells that stand out of the estimate's noise: those whose
// 3 x 3 neighbourhood holds at least kPathShare of the largest such sum. A
// blur path is connected, so its cells keep their weight; isolated specks of
// noise spread over the probe lose most of theirs.
Reach kernelReach(const double* kernel, int rows, int cols) {
  std::vector<double> neighbourhood(static_cast<std::size_t>(rows) * cols, 0.0);
  double largest = 0.0;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      double sum = 0.0;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int ny = y + dy;
          const int nx = x + dx;
          if (ny >= 0 && ny < rows && nx >= 0 && nx < cols) {
            sum += kernel[static_cast<std::size_t>(ny) * cols + nx];
          }
        }
      }
      neighbourhood[static_cast<std::size_t>(y) * cols + x] = sum;
      largest = std::max(largest, sum);
    }
  }
  std::vector<double> columnMass(cols, 0.0);
  std::vector<double> rowMass(rows, 0.0);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * cols + x;
      if (!(neighbourhood[i] >= kPathShare * largest)) continue;
      columnMass[x] += kernel[i];
      rowMass[y] += kernel[i];
    }
  }
  return {reach(columnMass), reach(rowMass)};
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
  const Reach reach = kernelReach(kernel, rows, cols);
  return {sideFor(reach.across, cols), sideFor(reach.down, rows)};
}

KernelSize measureKernelSize(const double* input, int height, int width, int channels,
                             KernelSize given, bool automaticWidth, bool automaticHeight,
                             double noiseSigma, const DeblurProgressCallback& progress) {
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
  // A kernel much larger than the blur is poorly determined, most of all in
  // noise: start small and grow while the blur reaches the probe's edge.
  const int largest = probeKernelSide(width, height);
  int probe = std::min(kFirstProbeSide, largest);
  for (;;) {
    const int probeWidth = automaticWidth ? probe : given.width;
    const int probeHeight = automaticHeight ? probe : given.height;
    std::vector<double> kernel(static_cast<std::size_t>(probeWidth) * probeHeight);
    // Without the noise damping: the size measured here serves the classic
    // estimator too, whose results must not move with the sparse one's.
    estimatePictureKernelSparse(input, height, width, channels, kernel.data(), probeHeight,
                                probeWidth, noiseSigma, measuring, false);
    const Reach reach = kernelReach(kernel.data(), probeHeight, probeWidth);
    // The blur reaches the probe's last ring of cells.
    const bool filled = (automaticWidth && reach.across >= probeWidth / 2) ||
                        (automaticHeight && reach.down >= probeHeight / 2);
    if (!filled || probe == largest) {
      // The margin may take the size past the probe's, for what it left faint.
      return {automaticWidth ? sideFor(reach.across, largest) : given.width,
              automaticHeight ? sideFor(reach.down, largest) : given.height};
    }
    probe = std::min(largest, oddAtMost(probe * kProbeGrowth));
  }
}

}  // namespace kestrel
