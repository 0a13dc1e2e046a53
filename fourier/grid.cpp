#include "fourier/grid.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace kestrel {

int fastTransformLength(int minimum) {
  assert(minimum >= 1 && minimum <= (1 << 30));
  // Even lengths of the form 2^a 3^b 5^c lie within a few per cent of any
  // minimum, and 2^30 is one of them.
  for (int length = std::max(minimum, 2);; ++length) {
    if (length % 2 != 0) continue;
    int rest = length;
    for (const int factor : {2, 3, 5}) {
      while (rest % factor == 0) rest /= factor;
    }
    if (rest == 1) return length;
  }
}

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
