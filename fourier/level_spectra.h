// Per-level Fourier set-up: what the iterations of one pyramid level reuse
// about the blurred level image.
//
// The level image is rows x cols doubles, row-major, top row first. Its own
// grid carries the spectra of latent estimation; a larger zero-padded grid
// of padRows x padCols carries the gradient spectra of kernel estimation, so
// that a kernel of the level's size fits without wrapping onto itself.
//
// Every transformed plane is real, so only half spectra are kept: a grid of
// R x C cells has the R x (C/2 + 1) spectrum of a real-to-complex transform,
// row-major; the other half is the mirrored conjugate.
#pragma once

#include <memory>
#include <vector>

#include "fourier/fftw_resources.h"
#include "fourier/split_transform.h"

namespace kestrel {

// Transform plans and scratch arrays made once per level and reused by every
// kernel and latent estimate of the level.
struct LevelScratch {
  // The kernel size the transforms below that read or write only the
  // kernel's window were planned for.
  int kernelRows = 0;
  // Padded grid: the predicted gradients go in (zero outside the level's
  // rows and columns), the kernel window comes out of padResult.
  FftwRealBuffer padPlaneX;
  FftwRealBuffer padPlaneY;
  FftwBuffer padSpectrumX;
  FftwBuffer padSpectrumY;
  FftwRealBuffer padResult;
  SplitRealTransform padForwardX;
  SplitRealTransform padForwardY;
  SplitRealTransform padBackward;
  // Level grid: the kernel goes in, the latent image comes out.
  FftwRealBuffer levelPlane;
  FftwBuffer levelSpectrum;
  SplitRealTransform levelForward;
  SplitRealTransform levelBackward;
};

// Plans the transforms of the scratch space that depend on the kernel size.
void planKernelWindow(LevelScratch& scratch, int rows, int cols, int padRows, int padCols,
                      int kernelRows);

// Owns every buffer; filled by prepareLevelSpectra and freed by
// releaseLevelSpectra (or its destructor). Kernel and latent estimates take
// the record non-const since they work in its scratch space, so estimates
// on one record must not overlap in time. Move-only.
struct LevelSpectra {
  // G of the level grid, half spectrum (rows x halfCols), real.
  std::vector<double> gradientPower;
  // Forward transform of the edge-tapered blurred level image, half spectrum
  // (rows x halfCols).
  FftwBuffer blurredSpectrum;
  // W of the level grid, half spectrum (rows x halfCols), real.
  std::vector<double> derivativeWeight;
  // Forward differences of the untapered level image; the last column of
  // blurGradX and the last row of blurGradY are 0 (rows x cols).
  std::vector<double> blurGradX;
  std::vector<double> blurGradY;
  // Half spectra (padRows x padHalfCols) of blurGradX and blurGradY placed
  // at (padTop, padLeft) in a zero padRows x padCols grid.
  FftwBuffer blurGradXSpectrum;
  FftwBuffer blurGradYSpectrum;
  int halfCols = 0;
  int padRows = 0;
  int padCols = 0;
  int padHalfCols = 0;
  int padTop = 0;
  int padBottom = 0;
  int padLeft = 0;
  int padRight = 0;
  std::unique_ptr<LevelScratch> scratch;
};

// Fills every field from the blurred level image and the kernel the level
// starts with (used for the edge taper and for the padded size). Width comes
// before height in this argument list. Replaces whatever the record held.
void prepareLevelSpectra(const double* levelImage, const double* kernel, int cols, int rows,
                         int kernelCols, int kernelRows, LevelSpectra& levelSpectra);

// Forward transform of a rows x cols plane placed where the level image sits
// in the padded grid, at (padTop, padLeft) among zeros; padRows x padHalfCols
// values (the half spectrum). Predicted gradients go through the same
// transform, so they line up with the blurred ones.
FftwBuffer paddedSpectrum(const double* plane, int rows, int cols,
                          const LevelSpectra& levelSpectra);

// Writes rows x cols values: |box mean of the gradient vectors| divided by
// (|box mean of their absolute components| + 1), with zero-extended odd
// boxes of boxRows x boxCols. Near 1 where strong gradients agree, 0 where
// they cancel or vanish.
void gradientCoherenceMap(const LevelSpectra& levelSpectra, double* map, int rows, int cols,
                          int boxRows, int boxCols);

// Frees every buffer and zeroes the sizes; calling it again does nothing.
void releaseLevelSpectra(LevelSpectra& levelSpectra);

// The smallest of the powers 2^a, 3^b, 5^c, 7^d that reach n (n >= 1), each
// exponent being ceil(ln n / ln p) in double precision. An exact power whose
// quotient rounds up loses to another base (125 gives 128); the result is
// never below n.
int fftFriendlySize(int n);

}  // namespace kestrel
