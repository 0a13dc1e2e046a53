// The coarse-to-fine schedule of the blind kernel estimation: how many
// pyramid levels, and for each its scale, image size, kernel size, iteration
// count and coherence box. Pure arithmetic, shared by the driver and by the
// front end's checks of the arguments.
#pragma once

#include <vector>

namespace kestrel {

// Ratio between the sizes of neighbouring pyramid levels.
constexpr double kPyramidScaleRatio = 0.618;

struct PyramidLevel {
  double scale = 1.0;  // 0.618^s, by repeated multiplication
  int width = 0;
  int height = 0;
  int kernelWidth = 0;
  int kernelHeight = 0;
  int iterations = 0;
  int boxRows = 0;  // gradient-coherence box, always odd
  int boxCols = 0;
};

// A kernel side on a level shrunk by scale: ceil(scale * side), raised to
// odd and at least 3.
int coarseKernelSide(double scale, int side);

// Levels so that the coarsest kernel is about 3 pixels wide:
// ceil((ln 3 - ln m) / ln 0.618 + 1) with m = max(kernelWidth, kernelHeight).
// Positive only for m >= 2.
int pyramidLevelCount(int kernelWidth, int kernelHeight);

// Fraction of the largest kernel entry below which entries are cleared: 0.07,
// or 0.03 for kernels of more than 2000 entries.
double kernelThresholdFraction(int kernelWidth, int kernelHeight);

// Element s describes level s (0 = full resolution, last = coarsest).
// Requires kernelWidth, kernelHeight >= 1 and their maximum >= 2.
std::vector<PyramidLevel> pyramidSchedule(int width, int height, int kernelWidth,
                                          int kernelHeight);

// True when every level's image is at least as large as its kernel in both
// directions and at least 2x2, which the per-level estimation needs.
bool scheduleFitsPicture(const std::vector<PyramidLevel>& schedule);

}  // namespace kestrel
