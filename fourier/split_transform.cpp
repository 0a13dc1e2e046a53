#include "fourier/split_transform.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>

#include "fourier/parallel.h"

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

std::vector<FftwPlan> columnPlans(int gridRows, int halfCols, fftw_complex* spectrum, int sign) {
  std::vector<FftwPlan> plans;
  for (const auto& [first, last] : cut(0, halfCols)) {
    plans.push_back(FftwPlan::columns(gridRows, last - first, halfCols, spectrum + first, sign));
  }
  return plans;
}

void runAll(const std::vector<const FftwPlan*>& plans) {
  parallelFor(0, static_cast<int>(plans.size()), 1, [&](int first, int last) {
    for (int p = first; p < last; ++p) plans[p]->execute();
  });
}

void collect(const std::vector<FftwPlan>& plans, std::vector<const FftwPlan*>& into) {
  for (const FftwPlan& plan : plans) into.push_back(&plan);
}

}  // namespace

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
      t.rowBlocks_.push_back(FftwPlan::realRows(last - first, gridCols,
                                                grid + offset(first, gridCols),
                                                spectrum + offset(first, t.halfCols_)));
    }
  }
  t.columnBlocks_ = columnPlans(gridRows, t.halfCols_, spectrum, FFTW_FORWARD);
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
  t.columnBlocks_ = columnPlans(gridRows, t.halfCols_, spectrum, FFTW_BACKWARD);
  for (const auto& [from, to] : rows) {
    for (const auto& [first, last] : cut(from, to)) {
      t.rowBlocks_.push_back(FftwPlan::realRowsBackward(last - first, gridCols,
                                                        spectrum + offset(first, t.halfCols_),
                                                        grid + offset(first, gridCols)));
    }
  }
  return t;
}

void SplitRealTransform::execute() const { executeTogether({this}); }

void SplitRealTransform::executeTogether(const std::vector<const SplitRealTransform*>& transforms) {
  std::vector<const FftwPlan*> rowPass;
  std::vector<const FftwPlan*> columnPass;
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
