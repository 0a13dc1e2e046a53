// Direct spatial filtering of one plane with a small kernel.
#pragma once

namespace kestrel {

// Values outside the plane count as 0.
constexpr int kBoundaryZero = 1;
// Values outside the plane take the nearest edge sample (rows and columns
// clamped separately).
constexpr int kBoundaryReplicate = 2;
// The kernel is flipped in both directions.
constexpr int kFilterConvolution = 1;
// The kernel is applied as stored.
constexpr int kFilterCorrelation = 2;

// Planes are height x width doubles, row-major, top row first; the kernel is
// kernelHeight x kernelWidth. output may equal input.
struct FilterParams {
  const double* input = nullptr;
  double* output = nullptr;
  int width = 0;
  int height = 0;
  // Multiplies every output value; a magnitude below 1e-10 or above 1e10 is
  // replaced by 1.0 in the record itself.
  double scale = 1.0;
  const double* kernel = nullptr;
  int kernelWidth = 0;
  int kernelHeight = 0;
  int boundaryMode = kBoundaryZero;
  int filterMode = kFilterConvolution;
};

// The kernel's anchor is ((kernelHeight-1)/2, (kernelWidth-1)/2), its centre
// for odd sizes. Returns 0.
int filter2D(FilterParams& params);

}  // namespace kestrel
