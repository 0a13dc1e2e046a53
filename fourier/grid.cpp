#include "fourier/grid.h"

#include <cmath>

namespace kestrel {

std::vector<double> centredDelta(int rows, int cols) {
  std::vector<double> kernel(cellCount(rows, cols), 0.0);
  kernel[cellCount(rows, cols) / 2] = 1.0;
  return kernel;
}

void normaliseOrReset(std::vector<double>& kernel, int rows, int cols) {
  double sum = 0.0;
  for (double v : kernel) sum += v;
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    kernel = centredDelta(rows, cols);
    return;
  }
  for (double& v : kernel) v /= sum;
}

void clampAndNormalise(std::vector<double>& kernel, int rows, int cols) {
  for (double& v : kernel) {
    if (v >= 1.0) v = 1.0;
    if (!(v > 0.0)) v = 0.0;
  }
  normaliseOrReset(kernel, rows, cols);
}

}  // namespace kestrel
