// Cross bilateral filter on a coarse grid: one plane is smoothed with range
// weights taken from a second plane, the guide. Pixels are gathered into a
// grid over the two image axes and the guide's value range, the grid is
// blurred, and every pixel reads its result back by trilinear interpolation.
//
// Planes are height x width doubles, row-major, top row first, x fastest.
// Every entry point returns kBilateralOk or one of the error codes below and
// writes nothing on error.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kestrel {

constexpr int kBilateralOk = 0;
// A plane pointer is null, or width or height is below 1.
constexpr int kBilateralBadPlane = 1;
// spaceSigma or rangeSigma is not a finite number above 0.
constexpr int kBilateralBadSigma = 2;
// The guide holds an infinity or a NaN, so it has no value range.
constexpr int kBilateralBadGuide = 3;
// The grid would hold more than kBilateralMaxGridCells cells.
constexpr int kBilateralGridTooLarge = 4;

// 2^24 cells of two doubles: 256 MiB. A finer grid than that means sigmas far
// below a pixel or a small fraction of the guide's range, where the grid
// costs more than filtering pixel by pixel.
constexpr std::size_t kBilateralMaxGridCells = std::size_t{1} << 24;

// The filter holds no state: its operations are the free functions below.
class CMyBilateralFiltering {
 public:
  virtual ~CMyBilateralFiltering() = default;
};

struct BilateralParams {
  const double* input = nullptr;  // the plane to smooth
  const double* base = nullptr;   // the guide, same size
  double* output = nullptr;       // same size; may be input or base
  int width = 0;
  int height = 0;
  double spaceSigma = 0.0;  // grid spacing along both image axes, in pixels
  double rangeSigma = 0.0;  // grid spacing along the guide's values
};

// gridX x gridY x gridR cells, each a pair (value sum, weight sum): cell
// (x, y, r) is the pair at cells[2 * ((x * gridY + y) * gridR + r)]. The
// pixel (x, y) with guide value g sits at (x / spaceSigma + 2, y / spaceSigma
// + 2, (g - baseMin) / rangeSigma + 2).
struct BilateralGrid {
  int gridX = 0;
  int gridY = 0;
  int gridR = 0;
  double baseMin = 0.0;  // the guide's smallest value
  std::vector<double> cells;
};

// Filters params.input guided by params.base into params.output.
int bilateralFilter(const BilateralParams& params);

// Sizes the grid to the planes with a margin of two cells on every side,
// splats every pixel's (input, 1) into its nearest cell and blurs the grid
// with [1 2 1]/4 twice along each axis. The outermost layer stays 0.
int buildBilateralGrid(const double* input, const double* base, int width, int height,
                       double spaceSigma, double rangeSigma, BilateralGrid& grid);

// Builds the grid and reads it back at every pixel. With earlyDivision off,
// weight receives the interpolated weight sum and result the interpolated
// value sum divided by it. With earlyDivision on, every cell is first
// divided by its own weight sum, result receives the interpolated value and
// weight is not written (it may be null). weight and result are height x
// width planes of the caller; either may be input or base, and they may be
// the same plane, in which case it ends up holding the result.
int bilateralGridFilter(const double* input, const double* base, int width, int height,
                        double spaceSigma, double rangeSigma, bool earlyDivision, double* weight,
                        double* result);

// The (value sum, weight sum) interpolated between the eight cells around
// (px, py, pr). Positions must not be NaN; outside the grid they are clamped
// onto its outer layer. Fractions and corner weights are rounded to single
// precision.
std::pair<double, double> trilinearSample(const BilateralGrid& grid, double px, double py,
                                          double pr);

}  // namespace kestrel
