#include "fourier/split_transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <tuple>
#include <utility>
#include <vector>

#include "parallel/parallel.h"
#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::Plane;
using testing::randomPlane;

// Row-and-column passes against FFTW's own two-dimensional plan: the same
// sums grouped differently, a few ulps of the largest coefficient.
constexpr double kAgreementTolerance = 1e-12;

// Grids of even, odd and prime sides, with the rows that are read or
// written. Rows of odd length go in pairs: blocks of one, two, odd and even
// numbers of rows. Sides with a large prime factor are split by
// ComplexRows, along rows (an even 262 goes in pairs too) and columns; the
// wide grids have blocks of several whole tiles of columns and a last one.
const std::tuple<int, int, RowRanges> kCases[] = {
    {16, 16, {{0, 16}}},          {27, 25, {{4, 20}}},  {31, 12, {{0, 3}, {29, 31}}},
    {49, 64, {{0, 5}, {45, 49}}}, {13, 7, {{6, 7}}},    {10, 11, {{0, 1}, {2, 4}, {9, 10}}},
    {30, 9, {{0, 30}}},           {45, 113, {{0, 45}}}, {74, 262, {{0, 74}}},
    {37, 201, {{3, 30}}}};

bool inRanges(int row, const RowRanges& ranges) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [row](const auto& range) { return row >= range.first && row < range.second; });
}

TEST(SplitRealTransform, ForwardMatchesTheTwoDimensionalPlanOfTheRowsItReads) {
  for (const auto& [rows, cols, ranges] : kCases) {
    const int half = cols / 2 + 1;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    // Rows outside the ranges hold values the transform must ignore.
    const Plane values = randomPlane(rows, cols, 7u + rows, -1.0, 1.0);
    FftwRealBuffer grid(n), zeroed(n);
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        const std::size_t i = static_cast<std::size_t>(r) * cols + c;
        grid[i] = values[i] + (inRanges(r, ranges) ? 0.0 : 5.0);
        zeroed[i] = inRanges(r, ranges) ? values[i] : 0.0;
      }
    }
    FftwBuffer spectrum(static_cast<std::size_t>(rows) * half);
    // Stale values, as a reused scratch spectrum holds.
    for (std::size_t i = 0; i < spectrum.size(); ++i) spectrum[i][0] = spectrum[i][1] = 3.0;
    SplitRealTransform::forward(rows, cols, ranges, grid.data(), spectrum.data()).execute();
    FftwBuffer expected(spectrum.size());
    FftwPlan::realForward2d(rows, cols, zeroed.data(), expected.data()).execute();
    double scale = 0.0, difference = 0.0;
    for (std::size_t i = 0; i < spectrum.size(); ++i) {
      for (int part = 0; part < 2; ++part) {
        scale = std::max(scale, std::fabs(expected[i][part]));
        difference = std::max(difference, std::fabs(spectrum[i][part] - expected[i][part]));
      }
    }
    EXPECT_LE(difference, kAgreementTolerance * scale) << rows << "x" << cols;
  }
}

TEST(SplitRealTransform, BackwardWritesExactlyTheRowsAskedFor) {
  for (const auto& [rows, cols, ranges] : kCases) {
    const int half = cols / 2 + 1;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    const Plane plane = randomPlane(rows, cols, 17u + cols, -1.0, 1.0);
    FftwRealBuffer source(n);
    std::copy(plane.begin(), plane.end(), source.data());
    FftwBuffer spectrum(static_cast<std::size_t>(rows) * half);
    FftwPlan::realForward2d(rows, cols, source.data(), spectrum.data()).execute();
    FftwRealBuffer grid(n);
    std::fill(grid.data(), grid.data() + n, -7.0);
    SplitRealTransform::backward(rows, cols, ranges, spectrum.data(), grid.data()).execute();
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        const std::size_t i = static_cast<std::size_t>(r) * cols + c;
        if (inRanges(r, ranges)) {
          ASSERT_NEAR(grid[i] / static_cast<double>(n), plane[i], kAgreementTolerance)
              << rows << "x" << cols << " at " << r << "," << c;
        } else {
          ASSERT_EQ(grid[i], -7.0) << rows << "x" << cols << " row " << r;
        }
      }
    }
  }
}

// A backward real transform reads only half of a spectrum that need not be
// Hermitian, the imaginary parts at frequency 0 of each row ignored; paired
// rows must read it the same way.
TEST(SplitRealTransform, BackwardReadsAnySpectrumAsFftwDoes) {
  for (const auto& [rows, cols] :
       {std::pair{12, 9}, std::pair{15, 113}, std::pair{8, 10}, std::pair{6, 262}}) {
    const int half = cols / 2 + 1;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    const std::size_t cells = static_cast<std::size_t>(rows) * half;
    const Plane parts = randomPlane(2 * rows, half, 5u + cols, -1.0, 1.0);
    FftwBuffer spectrum(cells), copy(cells);
    for (std::size_t i = 0; i < cells; ++i) {
      spectrum[i][0] = copy[i][0] = parts[2 * i];
      spectrum[i][1] = copy[i][1] = parts[2 * i + 1];
    }
    FftwRealBuffer grid(n), expected(n);
    SplitRealTransform::backward(rows, cols, {{0, rows}}, spectrum.data(), grid.data()).execute();
    FftwPlan::realBackward2d(rows, cols, copy.data(), expected.data()).execute();
    double scale = 0.0, difference = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      scale = std::max(scale, std::fabs(expected[i]));
      difference = std::max(difference, std::fabs(grid[i] - expected[i]));
    }
    EXPECT_LE(difference, kAgreementTolerance * scale) << rows << "x" << cols;
  }
}

TEST(SplitRealTransform, GivesTheSameBitsOnOneThreadAndOnThree) {
  const int rows = 45, cols = 64;
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  const Plane plane = randomPlane(rows, cols, 99u);
  std::vector<double> results[2];
  for (int run = 0; run < 2; ++run) {
    setThreadCount(run == 0 ? 1 : 3);
    FftwRealBuffer grid(n);
    std::copy(plane.begin(), plane.end(), grid.data());
    FftwBuffer spectrum(static_cast<std::size_t>(rows) * (cols / 2 + 1));
    SplitRealTransform::forward(rows, cols, {{0, rows}}, grid.data(), spectrum.data()).execute();
    for (std::size_t i = 0; i < spectrum.size(); ++i) {
      results[run].push_back(spectrum[i][0]);
      results[run].push_back(spectrum[i][1]);
    }
    SplitRealTransform::backward(rows, cols, {{0, rows}}, spectrum.data(), grid.data()).execute();
    results[run].insert(results[run].end(), grid.data(), grid.data() + n);
  }
  setThreadCount(defaultThreadCount());
  EXPECT_EQ(results[0], results[1]);
}

TEST(KernelWindowRows, CoverTheRowsAKernelCentredOnRowZeroReaches) {
  EXPECT_EQ(kernelWindowRows(100, 31), (RowRanges{{0, 16}, {85, 100}}));
  EXPECT_EQ(kernelWindowRows(100, 4), (RowRanges{{0, 2}, {98, 100}}));
  EXPECT_EQ(kernelWindowRows(100, 1), (RowRanges{{0, 1}}));
  // Ranges that would meet or overlap become the whole grid.
  EXPECT_EQ(kernelWindowRows(31, 31), (RowRanges{{0, 31}}));
  EXPECT_EQ(kernelWindowRows(2, 5), (RowRanges{{0, 2}}));
}

}  // namespace
}  // namespace kestrel
