// Row-major grids and the kernels that live on them: sizes, the blur-free
// kernel, and the clean-up that makes any estimate a valid kernel.
#pragma once

#include <cstddef>
#include <vector>

namespace kestrel {

// Cells of a rows x cols grid, counted in size_t so that a large picture's
// planes do not overflow int.
inline std::size_t cellCount(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

// The smallest even length of at least minimum (1 to 2^30) whose only prime
// factors are 2, 3 and 5: FFTW transforms such lengths several times faster
// than lengths with a large prime factor.
int fastTransformLength(int minimum);

// The blur-free kernel of rows x cols: all zeros but a 1 at element
// rows * cols / 2, the centre of odd sides.
std::vector<double> centredDelta(int rows, int cols);

// Divides a rows x cols kernel by its sum; a kernel without positive finite
// mass becomes the centred delta rather than a division by zero.
void normaliseOrReset(std::vector<double>& kernel, int rows, int cols);

// Clamps every entry to [0, 1] (a NaN to 0), then normaliseOrReset: what a
// kernel needs after resampling, which can overshoot.
void clampAndNormalise(std::vector<double>& kernel, int rows, int cols);

}  // namespace kestrel
