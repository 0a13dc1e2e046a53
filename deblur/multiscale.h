// Blind deblurring of one picture: the kernel is estimated coarse to fine on
// a pyramid of gamma-corrected grey images, then every plane of the input is
// padded, deconvolved with the final kernel and cropped.
#pragma once

#include <functional>

namespace kestrel {

// What the driver is doing, for progress displays. ConsoleMessage comes just
// before the driver prints a line to standard output, so that a display on
// the same terminal can clear itself first.
struct DeblurProgress {
  enum class Stage { ConsoleMessage, KernelEstimation, Padding, Deconvolution };
  Stage stage = Stage::KernelEstimation;
  int level = 0;      // pyramid level, counted from 1 at the coarsest
  int levels = 0;
  int iteration = 0;  // counted from 1
  int iterations = 0;
  int plane = 0;      // counted from 1
  int planes = 0;
};

using DeblurProgressCallback = std::function<void(const DeblurProgress&)>;

// input and output: channels (1 or 3) planes of height x width doubles,
// row-major, top row first, nominally 0..1; every output sample is written.
// kernel: kheight x kwidth doubles, receives the final kernel (non-negative,
// summing to 1). kwidth and kheight must be at least 1 with the larger at
// least 2, and every pyramid level must be at least as large as its kernel
// (see pyramid_schedule.h). denoise >= 1 selects the L1 deconvolution, which
// gets wtdeconv; otherwise the least-squares one gets wtdeconv / 100.
// Progress messages go to standard output; progress, when given, is called
// at every stage. Returns 0.
int deblurMultiScale(const double* input, double* output, int height, int width, int channels,
                     double* kernel, int kheight, int kwidth, double gamma, double wtscale,
                     double wtdeconv, int deringingWeight, int denoise,
                     const DeblurProgressCallback& progress = {});

}  // namespace kestrel
