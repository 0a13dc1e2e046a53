#include "fourier/split_transform.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>

#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Blocks per pass: enough for a few cores, few enough that each block keeps
// FFTW's loops long.
constexpr int kBlocks = 4;

std::size_t offset(int row, int width) {
  return static_cast<std::size_t>(row) * static_cast<std::size_t>(width);
}

// Cuts [first, last) into at most kBlocks nearly equal pieces.
RowRanges cut(int first, int last) {
  const int length = last - first;
  const int pieces = std::min(kBlocks, length);
  RowRanges blocks;
  for (int b = 0; b < pieces; ++b) {
    blocks.emplace_back(first + length * b / pieces, first + length * (b + 1) / pieces);
  }
  return blocks;
}

// Columns copied into rows at a time: eight complex values are two cache
// lines of a grid row, and eight tile rows of a few thousand values stay in
// the second-level cache.
constexpr int kTileColumns = 8;
constexpr int kPrefetchRows = 8;
constexpr int kValuesPerLine = 4;

std::vector<ColumnBlock> columnBlocks(int gridRows, int halfCols, fftw_complex* spectrum,
                                      int sign) {
  std::vector<ColumnBlock> blocks;
  for (const auto& [first, last] : cut(0, halfCols)) {
    blocks.emplace_back(gridRows, first, last, halfCols, spectrum, sign);
  }
  return blocks;
}

template <typename Block>
void runAll(const std::vector<const Block*>& blocks) {
  parallelFor(0, static_cast<int>(blocks.size()), 1, [&](int first, int last) {
    for (int b = first; b < last; ++b) blocks[b]->execute();
  });
}

template <typename Block>
void collect(const std::vector<Block>& blocks, std::vector<const Block*>& into) {
  for (const Block& block : blocks) into.push_back(&block);
}

// FFTW's real transforms are slow on odd lengths; lengths that complex rows
// split go faster through the split than through FFTW's real plans.
bool takenInPairs(int count, int length) {
  return count >= 2 && (length % 2 == 1 || ComplexRows::splitsLength(length));
}

}  // namespace

RealRowBlock RealRowBlock::forward(int count, int length, double* grid, fftw_complex* spectrum) {
  return RealRowBlock(true, count, length, grid, spectrum);
}

RealRowBlock RealRowBlock::backward(int count, int length, fftw_complex* spectrum, double* grid) {
  return RealRowBlock(false, count, length, grid, spectrum);
}

RealRowBlock::RealRowBlock(bool forward, int count, int length, double* grid,
                           fftw_complex* spectrum)
    : forward_(forward), count_(count), length_(length), grid_(grid), spectrum_(spectrum) {
  // The real transform of rows first to first + rows - 1.
  const auto realRows = [&](int rows, int first) {
    double* real = grid + offset(first, length);
    fftw_complex* half = spectrum + offset(first, length / 2 + 1);
    return forward ? FftwPlan::realRows(rows, length, real, half)
                   : FftwPlan::realRowsBackward(rows, length, half, real);
  };
  if (!takenInPairs(count, length)) {
    single_ = realRows(count, 0);
    return;
  }
  pairs_ = ComplexRows(count / 2, length, spectrum, forward ? FFTW_FORWARD : FFTW_BACKWARD);
  if (count % 2 == 1) single_ = realRows(1, count - 1);
  scratch_.resize(2 * static_cast<std::size_t>(length));
}

void RealRowBlock::execute() const {
  if (!takenInPairs(count_, length_)) {
    single_.execute();
  } else if (forward_) {
    forwardPairs();
  } else {
    backwardPairs();
  }
}

// Pair p packed as z = a + i b, a and b rows 2p and 2p + 1, fills complex
// values p*n to (p+1)*n of the spectrum block; its half spectra then take
// values 2p*h to (2p+2)*h for h = n/2 + 1, and 2h > n. Each
// pair's halves lie at or after its packed row, so unpacking from the last
// pair to the first never overwrites a row still to be read; a pair's own
// packed row is copied aside first.
void RealRowBlock::forwardPairs() const {
  const int n = length_;
  const int half = n / 2 + 1;
  const int pairs = count_ / 2;
  if (count_ % 2 == 1) single_.execute();
  for (int p = 0; p < pairs; ++p) {
    const double* a = grid_ + offset(2 * p, n);
    const double* b = a + n;
    fftw_complex* z = spectrum_ + offset(p, n);
    for (int j = 0; j < n; ++j) {
      z[j][0] = a[j];
      z[j][1] = b[j];
    }
  }
  pairs_.execute();
  auto* z = reinterpret_cast<fftw_complex*>(scratch_.data());
  for (int p = pairs - 1; p >= 0; --p) {
    std::memcpy(z, spectrum_ + offset(p, n), sizeof(fftw_complex) * n);
    fftw_complex* a = spectrum_ + offset(2 * p, half);
    fftw_complex* b = a + half;
    // A = (Z[k] + conj Z[n-k]) / 2 and B = (Z[k] - conj Z[n-k]) / 2i.
    a[0][0] = z[0][0];
    a[0][1] = 0.0;
    b[0][0] = z[0][1];
    b[0][1] = 0.0;
    for (int k = 1; k < half; ++k) {
      const double zr = z[k][0], zi = z[k][1], wr = z[n - k][0], wi = z[n - k][1];
      a[k][0] = 0.5 * (zr + wr);
      a[k][1] = 0.5 * (zi - wi);
      b[k][0] = 0.5 * (zi + wi);
      b[k][1] = 0.5 * (wr - zr);
    }
  }
}

// The reverse: pair p's half spectra are read from 2p*h on and its
// packed row written at p*n, before them, so packing from the first pair
// to the last never overwrites a row still to be read. As in FFTW's real
// backward transforms, the imaginary parts at frequency 0 and, for an even
// length, at frequency n/2 are ignored.
void RealRowBlock::backwardPairs() const {
  const int n = length_;
  const int half = n / 2 + 1;
  const int pairs = count_ / 2;
  if (count_ % 2 == 1) single_.execute();
  auto* z = reinterpret_cast<fftw_complex*>(scratch_.data());
  for (int p = 0; p < pairs; ++p) {
    const fftw_complex* a = spectrum_ + offset(2 * p, half);
    const fftw_complex* b = a + half;
    // Z = A + i B over the whole row, A and B extended by A[n-k] = conj A[k].
    z[0][0] = a[0][0];
    z[0][1] = b[0][0];
    for (int k = 1; k < n - k; ++k) {
      z[k][0] = a[k][0] - b[k][1];
      z[k][1] = a[k][1] + b[k][0];
      z[n - k][0] = a[k][0] + b[k][1];
      z[n - k][1] = b[k][0] - a[k][1];
    }
    if (n % 2 == 0) {
      z[n / 2][0] = a[n / 2][0];
      z[n / 2][1] = b[n / 2][0];
    }
    std::memcpy(spectrum_ + offset(p, n), z, sizeof(fftw_complex) * n);
  }
  pairs_.execute();
  for (int p = 0; p < pairs; ++p) {
    const fftw_complex* packed = spectrum_ + offset(p, n);
    double* a = grid_ + offset(2 * p, n);
    double* b = a + n;
    for (int j = 0; j < n; ++j) {
      a[j] = packed[j][0];
      b[j] = packed[j][1];
    }
  }
}

ColumnBlock::ColumnBlock(int length, int first, int last, int stride, fftw_complex* grid, int sign)
    : length_(length),
      first_(first),
      last_(last),
      stride_(stride),
      grid_(grid),
      tile_(offset(std::min(kTileColumns, last - first), length)) {
  assert(length >= 1 && first >= 0 && first < last && last <= stride);
  const int count = last - first;
  if (count >= kTileColumns) wholeTile_ = ComplexRows(kTileColumns, length, tile_.data(), sign);
  if (count % kTileColumns != 0) {
    lastTile_ = ComplexRows(count % kTileColumns, length, tile_.data(), sign);
  }
}

void ColumnBlock::execute() const {
  int column = first_;
  for (; column + kTileColumns <= last_; column += kTileColumns) {
    transformTile(column, kTileColumns, wholeTile_);
  }
  if (column < last_) transformTile(column, last_ - column, lastTile_);
}

// The hardware prefetchers do not follow a walk down the columns, a grid
// row apart: fetch the tile's values of row + kPrefetchRows.
void ColumnBlock::prefetchAhead(const fftw_complex* values, int row) const {
  if (row + kPrefetchRows >= length_) return;
  const fftw_complex* ahead = values + offset(kPrefetchRows, stride_);
  for (int c = 0; c < kTileColumns; c += kValuesPerLine) __builtin_prefetch(ahead + c);
}

void ColumnBlock::transformTile(int first, int count, const ComplexRows& rows) const {
  fftw_complex* tile = tile_.data();
  for (int i = 0; i < length_; ++i) {
    const fftw_complex* values = grid_ + offset(i, stride_) + first;
    prefetchAhead(values, i);
    for (int c = 0; c < count; ++c) {
      tile[offset(c, length_) + i][0] = values[c][0];
      tile[offset(c, length_) + i][1] = values[c][1];
    }
  }
  rows.execute();
  for (int i = 0; i < length_; ++i) {
    fftw_complex* values = grid_ + offset(i, stride_) + first;
    prefetchAhead(values, i);
    for (int c = 0; c < count; ++c) {
      values[c][0] = tile[offset(c, length_) + i][0];
      values[c][1] = tile[offset(c, length_) + i][1];
    }
  }
}

RowRanges kernelWindowRows(int gridRows, int kernelRows) {
  const int top = kernelRows / 2;
  const int below = kernelRows - top;
  if (below >= gridRows - top) return {{0, gridRows}};
  if (top == 0) return {{0, below}};
  return {{0, below}, {gridRows - top, gridRows}};
}

SplitRealTransform SplitRealTransform::forward(int gridRows, int gridCols, const RowRanges& rows,
                                               double* grid, fftw_complex* spectrum) {
  SplitRealTransform t;
  t.forward_ = true;
  t.gridRows_ = gridRows;
  t.halfCols_ = gridCols / 2 + 1;
  t.spectrum_ = spectrum;
  t.rows_ = rows;
  for (const auto& [from, to] : rows) {
    for (const auto& [first, last] : cut(from, to)) {
      t.rowBlocks_.push_back(RealRowBlock::forward(last - first, gridCols,
                                                   grid + offset(first, gridCols),
                                                   spectrum + offset(first, t.halfCols_)));
    }
  }
  t.columnBlocks_ = columnBlocks(gridRows, t.halfCols_, spectrum, FFTW_FORWARD);
  return t;
}

SplitRealTransform SplitRealTransform::backward(int gridRows, int gridCols, const RowRanges& rows,
                                                fftw_complex* spectrum, double* grid) {
  SplitRealTransform t;
  t.forward_ = false;
  t.gridRows_ = gridRows;
  t.halfCols_ = gridCols / 2 + 1;
  t.spectrum_ = spectrum;
  t.rows_ = rows;
  t.columnBlocks_ = columnBlocks(gridRows, t.halfCols_, spectrum, FFTW_BACKWARD);
  for (const auto& [from, to] : rows) {
    for (const auto& [first, last] : cut(from, to)) {
      t.rowBlocks_.push_back(RealRowBlock::backward(last - first, gridCols,
                                                    spectrum + offset(first, t.halfCols_),
                                                    grid + offset(first, gridCols)));
    }
  }
  return t;
}

void SplitRealTransform::execute() const { executeTogether({this}); }

void SplitRealTransform::executeTogether(const std::vector<const SplitRealTransform*>& transforms) {
  std::vector<const RealRowBlock*> rowPass;
  std::vector<const ColumnBlock*> columnPass;
  for (const SplitRealTransform* t : transforms) {
    assert(t->forward_ == transforms.front()->forward_);
    if (t->forward_) t->clearUnreadRows();
    collect(t->rowBlocks_, rowPass);
    collect(t->columnBlocks_, columnPass);
  }
  if (transforms.empty() || transforms.front()->forward_) {
    runAll(rowPass);
    runAll(columnPass);
  } else {
    runAll(columnPass);
    runAll(rowPass);
  }
}

// Rows of zeros transform to rows of zeros; the column pass then mixes
// every row.
void SplitRealTransform::clearUnreadRows() const {
  std::vector<bool> read(gridRows_, false);
  for (const auto& [from, to] : rows_) std::fill(read.begin() + from, read.begin() + to, true);
  for (int r = 0; r < gridRows_; ++r) {
    if (!read[r])
      std::memset(spectrum_ + offset(r, halfCols_), 0, sizeof(fftw_complex) * halfCols_);
  }
}

}  // namespace kestrel
