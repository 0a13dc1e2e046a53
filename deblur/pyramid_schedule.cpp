#include "deblur/pyramid_schedule.h"

#include <algorithm>
#include <cmath>

namespace kestrel {
namespace {

int boxSide(int kernelSide) {
  int size = static_cast<int>(0.6 * kernelSide + 0.5);
  if (size % 2 == 0) ++size;
  return size;
}

}  // namespace

int coarseKernelSide(double scale, int side) {
  int size = static_cast<int>(std::ceil(scale * side));
  if (size < 3) size = 3;
  if (size % 2 == 0) ++size;
  return size;
}

int pyramidLevelCount(int kernelWidth, int kernelHeight) {
  const double largest = std::max(kernelWidth, kernelHeight);
  return static_cast<int>(
      std::ceil((std::log(3.0) - std::log(largest)) / std::log(kPyramidScaleRatio) + 1.0));
}

double kernelThresholdFraction(int kernelWidth, int kernelHeight) {
  return static_cast<long long>(kernelWidth) * kernelHeight > 2000 ? 0.03 : 0.07;
}

std::vector<PyramidLevel> pyramidSchedule(int width, int height, int kernelWidth,
                                          int kernelHeight) {
  const int levels = pyramidLevelCount(kernelWidth, kernelHeight);
  std::vector<PyramidLevel> schedule(std::max(levels, 0));
  double scale = 1.0;
  for (int s = 0; s < levels; ++s) {
    PyramidLevel& level = schedule[s];
    level.scale = scale;
    if (s == 0) {
      level.width = width;
      level.height = height;
      level.kernelWidth = kernelWidth;
      level.kernelHeight = kernelHeight;
      level.iterations = 8;
    } else {
      level.width = static_cast<int>(std::ceil(scale * width));
      level.height = static_cast<int>(std::ceil(scale * height));
      level.kernelWidth = coarseKernelSide(scale, kernelWidth);
      level.kernelHeight = coarseKernelSide(scale, kernelHeight);
      level.iterations = 11 - static_cast<int>(std::floor(
                                  (static_cast<double>(levels - 1 - s) / levels) * 6.0));
    }
    level.boxRows = boxSide(level.kernelHeight);
    level.boxCols = boxSide(level.kernelWidth);
    scale *= kPyramidScaleRatio;
  }
  return schedule;
}

bool scheduleFitsPicture(const std::vector<PyramidLevel>& schedule) {
  if (schedule.empty()) return false;
  return std::all_of(schedule.begin(), schedule.end(), [](const PyramidLevel& level) {
    return level.width >= 2 && level.height >= 2 && level.width >= level.kernelWidth &&
           level.height >= level.kernelHeight;
  });
}

}  // namespace kestrel
