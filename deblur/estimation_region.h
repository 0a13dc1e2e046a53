// The part of a picture a kernel is estimated on. The blur of camera shake
// is the same all over a photo, so a window holding enough edges estimates
// it as well as the whole frame, in a fraction of the time and memory.
#pragma once

#include <vector>

namespace kestrel {

// A window of a picture: its left column, top row, width and height.
struct Region {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

// 1 where any of channels planes of height x width is at or above the
// level of clipped highlights, 0 elsewhere.
std::vector<double> clippedPixels(const double* planes, int height, int width, int channels);

// grey and clipped: rows x cols, row-major; clipped is positive where the
// picture is clipped. The window of at most mostPixels, in the picture's
// proportions as far as it allows, among 17 x 17 evenly spread positions,
// whose unclipped pixels' gradients are strongest along the direction in
// which they are weakest (the smaller eigenvalue of their summed structure
// tensor): a blur is seen only across edges, so the window must hold edges
// of every orientation. The whole picture when it is no larger.
Region richestRegion(const double* grey, const double* clipped, int rows, int cols,
                     double mostPixels);

// The region of each of channels planes of height x width, one after
// another as the planes are.
std::vector<double> cropPlanes(const double* planes, int height, int width, int channels,
                               const Region& region);

}  // namespace kestrel
