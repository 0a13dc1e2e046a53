// Automatic choice of the kernel size. The blur is first estimated with a
// probe kernel, grown while the blur fills it; the size kept is the extent
// around the centre that holds nearly all of that estimate's mass, plus a
// margin for what the probe's estimate leaves faint.
#pragma once

#include "deblur/final_stage.h"

namespace kestrel {

struct KernelSize {
  int width = 0;
  int height = 0;
};

// Largest probe side on a width x height picture: a fifth
// of the shorter side, odd, between 15 and 75, and no larger than the
// sparse estimator's pyramid fits into the picture; 0 when not even a 3 x 3
// kernel fits.
int probeKernelSide(int width, int height);

// The odd sides, each from 3 up to the kernel's own, of the window centred on
// the centre cell that holds all but a small share of the kernel's mass,
// widened by the margin. kernel: rows x cols (both odd), non-negative.
KernelSize kernelExtent(const double* kernel, int rows, int cols);

// Measures the blur of a picture (the planes as deblurSparse takes them):
// estimates a kernel with the sparse estimator, 25 wide on every automatic
// side (the given size elsewhere), and returns its extent; while the extent
// fills the probe, estimates again with the probe twice as large, up to
// probeKernelSide. The picture must fit probeKernelSide.
KernelSize measureKernelSize(const double* input, int height, int width, int channels,
                             KernelSize given, bool automaticWidth, bool automaticHeight,
                             double noiseSigma, const DeblurProgressCallback& progress = {});

}  // namespace kestrel
