#include "prediction/shock_filter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <vector>

#include "parallel/parallel.h"

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

// Central x-differences of rows [first, last); a missing neighbour equals
// the pixel itself.
void centralDifferencesX(const double* plane, int width, int first, int last, double* centralX) {
  for (int y = first; y < last; ++y) {
    const double* row = plane + static_cast<std::size_t>(y) * width;
    double* out = centralX + static_cast<std::size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const double backward = x >= 1 ? row[x] - row[x - 1] : 0.0;
      const double forward = x <= width - 2 ? row[x + 1] - row[x] : 0.0;
      out[x] = 0.5 * (backward + forward);
    }
  }
}

// One step for rows [first, last), from the plane and its central
// x-differences into next.
void shockRows(const double* plane, const double* centralX, int width, int height, double step,
               double scale, int first, int last, double* next) {
  for (int y = first; y < last; ++y) {
    const int above = std::max(y - 1, 0);
    const int below = std::min(y + 1, height - 1);
    const double* row = plane + static_cast<std::size_t>(y) * width;
    const double* rowAbove = plane + static_cast<std::size_t>(above) * width;
    const double* rowBelow = plane + static_cast<std::size_t>(below) * width;
    const double* centralAbove = centralX + static_cast<std::size_t>(above) * width;
    const double* centralBelow = centralX + static_cast<std::size_t>(below) * width;
    const double* central = centralX + static_cast<std::size_t>(y) * width;
    double* out = next + static_cast<std::size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const double centre = row[x];
      const double dxMinus = x >= 1 ? centre - row[x - 1] : 0.0;
      const double dxPlus = x <= width - 2 ? row[x + 1] - centre : 0.0;
      const double dyMinus = y >= 1 ? centre - rowAbove[x] : 0.0;
      const double dyPlus = y <= height - 2 ? rowBelow[x] - centre : 0.0;

      const double ix = central[x];
      const double iy = 0.5 * (dyMinus + dyPlus);
      const double mx = minmod(dxMinus, dxPlus);
      const double my = minmod(dyMinus, dyPlus);
      const double magnitude = std::sqrt(mx * mx + my * my);

      const double ixx = secondDifference(x, width, row[std::max(x - 1, 0)], centre,
                                          row[std::min(x + 1, width - 1)], dxMinus, dxPlus);
      const double iyy =
          secondDifference(y, height, rowAbove[x], centre, rowBelow[x], dyMinus, dyPlus);
      const double ixy = 0.5 * (centralBelow[x] - centralAbove[x]);

      // Second derivative along the gradient times the squared gradient
      // length; its sign tells on which side of an edge the pixel lies.
      double g = 0.0;
      if (std::fabs(ix) + std::fabs(iy) != 0.0) {
        g = ixx * ix * ix + 2.0 * ixy * ix * iy + iyy * iy * iy;
      }
      const double sign = g > 0.0 ? 1.0 : (g < 0.0 ? -1.0 : 0.0);
      out[x] = centre + step * (-(magnitude * sign) / scale);
    }
  }
}

void shockStep(double* plane, int width, int height, double step, double scale,
               ShockScratch& scratch) {
  double* centralX = scratch.centralX.data();
  double* next = scratch.next.data();
  // The cross derivative needs the central x-differences of the rows above
  // and below, so they are computed for the whole plane first; after that
  // every row reads only the plane and centralX, so rows are independent.
  parallelFor(0, height, kRowGrain, [=](int first, int last) {
    centralDifferencesX(plane, width, first, last, centralX);
  });
  parallelFor(0, height, kRowGrain, [=](int first, int last) {
    shockRows(plane, centralX, width, height, step, scale, first, last, next);
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
