// Blind deblurring of one picture: the kernel is estimated coarse to fine on
// a pyramid of gamma-corrected grey images, then every plane of the input is
// padded, deconvolved with the final kernel and cropped.
#pragma once

#include "deblur/final_stage.h"

namespace kestrel {

// input and output: channels (1 or 3) planes of height x width doubles,
// row-major, top row first, nominally 0..1; every output sample is written.
// kernel: kheight x kwidth doubles, receives the final kernel (non-negative,
// summing to 1). kwidth and kheight must be at least 1 with the larger at
// least 2, and every pyramid level must be at least as large as its kernel
// (see pyramid_schedule.h). denoise >= 1 selects the L1 deconvolution, which
// gets wtdeconv; otherwise the least-squares one gets wtdeconv / 100.
// progress, when given, is called at every stage and receives the progress
// messages. Returns 0, or -1 when the deconvolution of some plane refused
// the kernel.
// The first step of deblurMultiScale on its own: coarse to fine over the
// pyramid of gamma-corrected grey images of input, each level alternating
// edge prediction, a kernel estimate and a latent estimate. Writes the
// finest level's kernel; the arguments are deblurMultiScale's.
void estimateKernelMultiScale(const double* input, int height, int width, int channels,
                              double* kernel, int kheight, int kwidth, double gamma,
                              double wtscale, const DeblurProgressCallback& progress = {});

int deblurMultiScale(const double* input, double* output, int height, int width, int channels,
                     double* kernel, int kheight, int kwidth, double gamma, double wtscale,
                     double wtdeconv, int deringingWeight, int denoise,
                     const DeblurProgressCallback& progress = {});

}  // namespace kestrel
