// Kernels on Fourier grids, the fixed derivative spectra and the edge taper.
//
// Grids are rows x cols cells, row-major, top row first; rows is the slower
// dimension of every transform. Spectrum buffers hold rows*cols fftw_complex
// values allocated by the caller. Transforms are unnormalised: whoever
// returns to the spatial domain divides by rows*cols once. Inputs are never
// modified. A kernel's centre is element (kernelRows/2, kernelCols/2).
//
// Grids must be at least 2x2, and a kernel's half size (size/2) must not
// exceed the grid in either dimension.
#pragma once

#include <fftw3.h>

namespace kestrel {

// Places the kernel with its centre on cell (0, 0), wrapping around the grid
// edges, and transforms it forward into spectrum.
void kernelToSpectrum(const double* kernel, fftw_complex* spectrum, int rows, int cols,
                      int kernelRows, int kernelCols);

// Backward-transforms spectrum and cuts the kernel window around the origin,
// dividing by rows*cols. Undoes kernelToSpectrum for a kernel that fits.
void spectrumToKernel(const fftw_complex* spectrum, double* kernel, int rows, int cols,
                      int kernelRows, int kernelCols);

// Writes the kernel into a rows x cols real grid with its centre on cell
// (0, 0), wrapping around the grid edges; other cells are left as they are.
void placeKernel(const double* kernel, double* grid, int rows, int cols, int kernelRows,
                 int kernelCols);

// Reads the kernel window around cell (0, 0) of a rows x cols real grid,
// dividing every value by divisor; the inverse of placeKernel.
void cutKernel(const double* grid, double* kernel, int rows, int cols, int kernelRows,
               int kernelCols, double divisor);

// G and W below on the half spectrum of the grid: rows x (cols/2 + 1) real
// values each, row-major. The full spectra are these mirrored, both being
// even functions of the frequency.
void derivativeHalfSpectra(int rows, int cols, double* gradientPower, double* derivativeWeight);

// G = |F dx|^2 + |F dy|^2 and W = 1 + 0.5 G + 0.25 (|F dxx|^2 + |F dyy|^2 +
// |F dxy|^2) of the grid, imaginary parts 0. G(0,0) = 0, W >= 1. The
// difference filters are circular on every grid, however narrow.
void derivativeSpectra(int rows, int cols, fftw_complex* gradientPower,
                       fftw_complex* derivativeWeight);

// conj(K) F(image), |K|^2 and G for an image of rows x cols doubles.
void deconvolutionSpectra(const double* image, const double* kernel, int rows, int cols,
                          int kernelRows, int kernelCols, fftw_complex* kernelConjTimesImage,
                          fftw_complex* kernelPower, fftw_complex* gradientPower);

// K, |K|^2 and G of the grid.
void kernelSpectra(const double* kernel, int rows, int cols, int kernelRows, int kernelCols,
                   fftw_complex* kernelSpectrum, fftw_complex* kernelPower,
                   fftw_complex* gradientPower);

// Blends the image towards its circularly blurred copy near the borders so
// that opposite borders meet smoothly under circular convolution. out may be
// the same plane as image. A kernel whose profile autocorrelation is nowhere
// positive (for example all zeros) leaves the image unchanged.
void edgeTaper(const double* image, double* out, const double* kernel, int rows, int cols,
               int kernelRows, int kernelCols);

// qsort comparison of two doubles: -1, 0 or 1 (1 also when unordered).
int compareAscending(const void* first, const void* second);

}  // namespace kestrel
