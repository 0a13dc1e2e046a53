// The shared run of the non-blind commands marlin and osprey: read a picture
// and a kernel picture, deconvolve every plane with the kernel, write the
// result. Planes are handled bottom row first, as the kernel is, so both
// agree and the output keeps the input's orientation.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/memory_budget.h"

namespace kestrel {

struct NumericArgument {
  const char* name;
  double defaultValue;
  NumberRange range;
};

// Deconvolves plane y (rows x cols) into x with the kernel (kernelRows x
// kernelCols, summing to 1) and the command's numbers; false on failure.
using PlaneDeconvolution =
    std::function<bool(const double* y, double* x, const double* kernel, int rows, int cols,
                       int kernelRows, int kernelCols, const std::vector<double>& numbers)>;

struct NonBlindCommand {
  std::string name;
  std::string usage;  // printed when too few arguments are given
  std::string help;   // for --help, after usage: what the command does and its arguments
  std::vector<NumericArgument> numbers;
  PlaneDeconvolution deconvolve;
  // Whose measured memory use sizes the check made before any work.
  Workload workload = Workload::Marlin;
  // When set, the first number may be the word auto: its value is then
  // automaticWeight(noise, numbers), noise being planeNoise of the picture
  // and numbers the others as given.
  std::function<double(double noise, const std::vector<double>& numbers)> automaticWeight;
};

// Divides a kernel read from a picture by its sum. False when the sum is not
// positive (an all-black kernel picture has no blur to remove).
bool normaliseKernel(std::vector<double>& kernel);

// Runs the command; returns the exit status (0 success, 2 usage error,
// 1 any other failure).
int runNonBlindCommand(const NonBlindCommand& command, int argc, const char* const* argv);

}  // namespace kestrel
