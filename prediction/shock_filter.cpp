#include "prediction/shock_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <vector>

#include "fourier/parallel.h"

namespace kestrel {
namespace {

// Rows handed to one thread at a time; small planes stay on one thread.
constexpr int kRowGrain = 16;

// Scratch planes reused by every step of one call.
struct ShockScratch {
  std::vector<double> centralX;
  std::vector<double> next;
};

// Minmod: no slope at a local extremum, otherwise the gentler side, so the
// filter never overshoots a neighbour.
double minmod(double backward, double forward) {
  if (backward * forward < 0.0) return 0.0;
  return std::min(std::fabs(backward), std::fabs(forward));
}

// Second difference along one axis. At an edge the missing neighbour equals
// the pixel itself, which leaves the one-sided difference into the plane.
double secondDifference(int position, int length, double before, double centre, double after,
                        double backward, double forward) {
  if (position >= 1 && position <= length - 2) return before + after - 2.0 * centre;
  if (position == 0) return forward;
  return -backward;
}

void shockStep(double* plane, int width, int height, double step, double scale,
               ShockScratch& scratch) {
  const auto at = [&](int x, int y) { return plane[static_cast<std::size_t>(y) * width + x]; };
  const auto backwardX = [&](int x, int y) { return x >= 1 ? at(x, y) - at(x - 1, y) : 0.0; };
  const auto forwardX = [&](int x, int y) {
    return x <= width - 2 ? at(x + 1, y) - at(x, y) : 0.0;
  };
  const auto backwardY = [&](int x, int y) { return y >= 1 ? at(x, y) - at(x, y - 1) : 0.0; };
  const auto forwardY = [&](int x, int y) {
    return y <= height - 2 ? at(x, y + 1) - at(x, y) : 0.0;
  };

  // The cross derivative needs the central x-differences of the rows above
  // and below, so they are computed for the whole plane first.
  parallelFor(0, height, kRowGrain, [&](int first, int last) {
    for (int y = first; y < last; ++y) {
      for (int x = 0; x < width; ++x) {
        scratch.centralX[static_cast<std::size_t>(y) * width + x] =
            0.5 * (backwardX(x, y) + forwardX(x, y));
      }
    }
  });

  // Every pixel reads only the plane and centralX, so rows are independent.
  parallelFor(0, height, kRowGrain, [&](int first, int last) {
  for (int y = first; y < last; ++y) {
    const int above = std::max(y - 1, 0);
    const int below = std::min(y + 1, height - 1);
    for (int x = 0; x < width; ++x) {
      const std::size_t index = static_cast<std::size_t>(y) * width + x;
      const double dxMinus = backwardX(x, y);
      const double dxPlus = forwardX(x, y);
      const double dyMinus = backwardY(x, y);
      const double dyPlus = forwardY(x, y);

      const double ix = scratch.centralX[index];
      const double iy = 0.5 * (dyMinus + dyPlus);
      const double mx = minmod(dxMinus, dxPlus);
      const double my = minmod(dyMinus, dyPlus);
      const double magnitude = std::sqrt(mx * mx + my * my);

      const double centre = at(x, y);
      const double ixx = secondDifference(x, width, at(std::max(x - 1, 0), y), centre,
                                          at(std::min(x + 1, width - 1), y), dxMinus, dxPlus);
      const double iyy =
          secondDifference(y, height, at(x, above), centre, at(x, below), dyMinus, dyPlus);
      const double ixy = 0.5 * (scratch.centralX[static_cast<std::size_t>(below) * width + x] -
                                scratch.centralX[static_cast<std::size_t>(above) * width + x]);

      // Second derivative along the gradient times the squared gradient
      // length; its sign tells on which side of an edge the pixel lies.
      double g = 0.0;
      if (std::fabs(ix) + std::fabs(iy) != 0.0) {
        g = ixx * ix * ix + 2.0 * ixy * ix * iy + iyy * iy * iy;
      }
      const double sign = g > 0.0 ? 1.0 : (g < 0.0 ? -1.0 : 0.0);
      scratch.next[index] = centre + step * (-(magnitude * sign) / scale);
    }
  }
  });
  std::copy(scratch.next.begin(), scratch.next.end(), plane);
}

}  // namespace

void shockFilter(const double* input, double* output, int width, int height, int iterations,
                 double step, double scale) {
  shockFilterPlanes(input, output, width, height, 1, iterations, step, scale);
}

void shockFilterPlanes(const double* input, double* output, int width, int height, int planes,
                       int iterations, double step, double scale) {
  assert(scale != 0.0);
  if (width <= 0 || height <= 0 || planes <= 0) return;
  const std::size_t planeSize = static_cast<std::size_t>(width) * height;
  std::copy(input, input + planeSize * planes, output);
  ShockScratch scratch{std::vector<double>(planeSize, 0.0), std::vector<double>(planeSize, 0.0)};
  for (int iteration = 0; iteration < iterations; ++iteration) {
    for (int p = 0; p < planes; ++p) {
      shockStep(output + planeSize * p, width, height, step, scale, scratch);
    }
  }
}

}  // namespace kestrel
