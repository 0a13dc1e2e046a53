// Two-dimensional real transforms done as a pass over rows and a pass over
// columns, each cut into blocks that run on the threads.
//
// A grid is rows x cols doubles, row-major; its half spectrum rows x
// (cols/2 + 1) complex values. Rows of the grid known to be zero are skipped
// on the way in, rows not wanted are skipped on the way out. The blocks are
// fixed by the sizes alone, never by the thread count, so every value comes
// out the same however many threads run them.
#pragma once

#include <utility>
#include <vector>

#include "fourier/complex_rows.h"
#include "fourier/fftw_resources.h"

namespace kestrel {

// Half-open ranges [first, last) of grid rows.
using RowRanges = std::vector<std::pair<int, int>>;

// The rows of a grid that a kernel of kernelRows rows centred on row 0
// covers, wrapping: the first kernelRows - kernelRows/2 and the last
// kernelRows/2 (every row when these meet).
RowRanges kernelWindowRows(int gridRows, int kernelRows);

// One block of count contiguous real rows of length values to their half
// spectra (length/2 + 1 values a row, rows contiguous), or back. For an odd
// length, which FFTW's real transforms handle poorly, and for a length that
// ComplexRows splits, rows are taken in pairs as the real and imaginary
// parts of one complex row and separated after a complex transform, done in
// place in the spectrum rows.
class RealRowBlock {
 public:
  RealRowBlock() = default;
  static RealRowBlock forward(int count, int length, double* grid, fftw_complex* spectrum);
  // Overwrites the spectrum rows, as FFTW's backward real transforms do.
  static RealRowBlock backward(int count, int length, fftw_complex* spectrum, double* grid);

  void execute() const;

 private:
  RealRowBlock(bool forward, int count, int length, double* grid, fftw_complex* spectrum);

  void forwardPairs() const;
  void backwardPairs() const;

  bool forward_ = true;
  int count_ = 0;
  int length_ = 0;
  double* grid_ = nullptr;
  fftw_complex* spectrum_ = nullptr;
  // The complex transform of the row pairs; without pairs, not made.
  ComplexRows pairs_;
  // The real transform of the rows not taken in pairs: all of them for an
  // even length, the last one of an odd count for an odd length.
  FftwPlan single_;
  // One complex row, for rearranging a pair in place.
  mutable std::vector<double> scratch_;
};

// In place complex transforms along a block of neighbouring columns of a
// grid of complex values. The columns are copied a few at a time into
// contiguous rows, transformed there and copied back: FFTW's own strided
// column transforms run two to three times slower on long columns of most
// lengths.
class ColumnBlock {
 public:
  ColumnBlock() = default;
  // Columns [first, last) of a grid `stride` values wide and `length` rows
  // long; sign is FFTW_FORWARD or FFTW_BACKWARD.
  ColumnBlock(int length, int first, int last, int stride, fftw_complex* grid, int sign);

  void execute() const;

 private:
  void transformTile(int first, int count, const ComplexRows& rows) const;
  void prefetchAhead(const fftw_complex* values, int row) const;

  int length_ = 0;
  int first_ = 0;
  int last_ = 0;
  int stride_ = 0;
  fftw_complex* grid_ = nullptr;
  // Room for one tile of columns laid out as rows.
  mutable FftwBuffer tile_;
  ComplexRows wholeTile_;
  // The columns left over after the whole tiles, when there are any.
  ComplexRows lastTile_;
};

class SplitRealTransform {
 public:
  SplitRealTransform() = default;

  // Forward transform of grid into spectrum reading only the rows in
  // `rows`; the grid is taken as zero elsewhere. Plans for these arrays.
  static SplitRealTransform forward(int gridRows, int gridCols, const RowRanges& rows, double* grid,
                                    fftw_complex* spectrum);
  // Backward transform (unnormalised) of spectrum, which it overwrites,
  // writing only the grid rows in `rows`. Plans for these arrays.
  static SplitRealTransform backward(int gridRows, int gridCols, const RowRanges& rows,
                                     fftw_complex* spectrum, double* grid);

  void execute() const;
  // Runs several transforms of one direction as if one after another, each
  // pass of all of them split over the threads together, which keeps the
  // threads busy where the blocks of one transform alone would not.
  static void executeTogether(const std::vector<const SplitRealTransform*>& transforms);

 private:
  bool forward_ = true;
  int gridRows_ = 0;
  int halfCols_ = 0;
  fftw_complex* spectrum_ = nullptr;

  void clearUnreadRows() const;

  RowRanges rows_;
  std::vector<RealRowBlock> rowBlocks_;
  std::vector<ColumnBlock> columnBlocks_;
};

}  // namespace kestrel
