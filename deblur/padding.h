// Boundary padding: extends every plane of a picture by a band around it so
// that the enlarged plane looks like a blurred image on every side, including
// across the wrap-around between opposite sides. Circular deconvolution of
// the padded plane then rings far less than on the bare picture.
//
// Planes are row-major, top row first. Unlike most numeric routines here,
// these take the width (columns) before the height (rows).
#pragma once

#include <cstddef>
#include <vector>

#include "fourier/fftw_resources.h"

namespace kestrel {

// The fixed spectra of one padding level, all on a rows x cols canvas grid;
// the buffers hold rows*cols values each and are released with the record.
struct PaddingSpectra {
  FftwBuffer gradientPower;     // G of the grid, imaginary parts 0
  FftwBuffer kernelPower;       // |K|^2 per cell, imaginary parts 0
  FftwBuffer derivativeWeight;  // W of the grid, imaginary parts 0
  FftwBuffer kernelSpectrum;    // K, the kernel centred on cell (0, 0)
  int rows = 0;
  int cols = 0;
};

// The weights of the refinement steps (paddingStep): data regularises the
// deconvolution inside a step, smooth smooths its re-blurred result. The
// defaults are those of kestrel's final stage.
struct PaddingWeights {
  double data = 0.002;
  double smooth = 0.1;
};

// image: planes x height x width samples, one plane after another.
// padded: planes x (height + 2 padY) x (width + 2 padX), every value
// overwritten; the image lands unchanged at row padY, column padX of each
// plane and the band around it is extrapolated. kernel: kernelHeight x
// kernelWidth, non-negative and summing to 1. image and padded must not
// overlap. Outputs stay in [0, 1] for inputs in [0, 1]. weights: those of
// every refinement step.
// The band is refined coarse to fine over as many 0.618-scaled levels as
// the largest kernel side calls for; a largest side below 3 (whose level
// count would come out below 1) uses a single level.
// Planes are refined on separate threads; the result does not depend on
// the thread count.
void padImage(const double* image, double* padded, const double* kernel, int width, int height,
              int planes, int kernelWidth, int kernelHeight, int padX, int padY,
              const PaddingWeights& weights = {});

// Copies a rows x cols padded canvas into the top left corner of a wider
// wideRows x wideCols one and fills the gaps so that, next to each of the
// canvas's edges, the wide canvas looks as the canvas does across its own
// wrap-around: each gap cross-fades from the canvas's first lines into its
// last ones. A circular deconvolution of the wide canvas then treats the
// picture inside almost exactly as one of the canvas itself, while its
// transforms may be much faster. Values stay within the canvas's range.
void bridgeAcrossWrap(const double* canvas, int rows, int cols, double* wide, int wideRows,
                      int wideCols);

// A picture made ready for circular deconvolution: every plane padded by
// the kernel size on each side (padImage), then widened one plane at a time
// onto a canvas of fast transform lengths bridged across the wrap
// (bridgeAcrossWrap). Deconvolving the wide canvas and cropping it back
// treats the picture's borders almost as well as its interior.
class PaddedPicture {
 public:
  // image: planes x height x width samples, as for padImage, read only
  // during the call; kernel: kernelHeight x kernelWidth, non-negative and
  // summing to 1; weights: those of padImage's refinement steps.
  PaddedPicture(const double* image, const double* kernel, int width, int height, int planes,
                int kernelWidth, int kernelHeight, const PaddingWeights& weights = {});

  int wideRows() const { return wideRows_; }
  int wideCols() const { return wideCols_; }
  std::size_t wideCells() const;

  // Writes plane's wide canvas, wideRows x wideCols, into wide.
  void widen(int plane, double* wide) const;

  // Copies the picture's window of a wide canvas (a deconvolved one) into
  // plane of output, which is laid out as the image.
  void crop(const double* wide, int plane, double* output) const;

 private:
  int width_;
  int height_;
  int padX_;
  int padY_;
  int paddedRows_;
  int paddedCols_;
  int wideRows_;
  int wideCols_;
  std::vector<double> padded_;
};

// Fills spectra for a rows x cols canvas and a kernelRows x kernelCols
// kernel; any buffers spectra held before are released.
void preparePaddingSpectra(const double* kernel, int cols, int rows, int kernelCols, int kernelRows,
                           PaddingSpectra& spectra);

// One refinement of a rows x cols canvas plane in place: the plane becomes
// the re-blurred, smoothed version of its own regularised deconvolution,
// clamped to [0, 1]. A frequency whose denominator is 0 (only possible at
// (0, 0) for a kernel summing to 0) contributes 0 instead of a NaN.
void paddingStep(double* plane, int cols, int rows, double dataWeight, double smoothWeight,
                 const PaddingSpectra& spectra);

}  // namespace kestrel
