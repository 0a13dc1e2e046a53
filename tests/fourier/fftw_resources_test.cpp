#include "fourier/fftw_resources.h"

#include <gtest/gtest.h>

#include <complex>
#include <utility>
#include <vector>

#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::naiveDft;
using testing::randomPlane;

// A DFT of at most a few hundred cells of values in [0, 1]: FFTW and the
// direct sum each carry rounding of order 1e-15 times the cell count.
constexpr double kDftTolerance = 1e-11;

TEST(FftwBuffer, StartsZeroFilledWithTheRequestedCount) {
  FftwBuffer buffer(37);
  ASSERT_NE(buffer.data(), nullptr);
  EXPECT_EQ(buffer.size(), 37u);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    EXPECT_EQ(buffer[i][0], 0.0);
    EXPECT_EQ(buffer[i][1], 0.0);
  }
}

TEST(FftwBuffer, OfZeroCellsHoldsNothing) {
  FftwBuffer buffer(0);
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(buffer.size(), 0u);
}

TEST(FftwBuffer, MovingHandsOverTheMemoryAndEmptiesTheSource) {
  FftwBuffer source(8);
  source[3][0] = 2.5;
  fftw_complex* memory = source.data();

  FftwBuffer constructed(std::move(source));
  EXPECT_EQ(constructed.data(), memory);
  EXPECT_EQ(constructed.size(), 8u);
  EXPECT_EQ(source.data(), nullptr);
  EXPECT_EQ(source.size(), 0u);

  FftwBuffer assigned(4);
  assigned = std::move(constructed);
  EXPECT_EQ(assigned.data(), memory);
  EXPECT_EQ(assigned[3][0], 2.5);
  EXPECT_EQ(constructed.data(), nullptr);
}

TEST(FftwBuffer, ReleaseGivesUpOwnershipAndResetFrees) {
  FftwBuffer buffer(5);
  fftw_complex* memory = buffer.release();
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(buffer.size(), 0u);
  fftw_free(memory);

  FftwBuffer other(5);
  other.reset();
  EXPECT_EQ(other.data(), nullptr);
  other.reset();
  EXPECT_EQ(other.size(), 0u);
}

TEST(FftwBuffer, RefusesACountWhoseByteSizeOverflows) {
  EXPECT_THROW(FftwBuffer(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

TEST(Transform2d, ForwardMatchesTheDirectSumWithANegativeExponent) {
  for (const auto& [rows, cols] : {std::pair{4, 4}, {3, 5}, {6, 7}, {1, 9}, {8, 2}}) {
    const std::vector<double> plane = randomPlane(rows, cols, 11u + rows * cols);
    std::vector<std::complex<double>> reference(plane.size());
    FftwBuffer in(plane.size());
    FftwBuffer out(plane.size());
    for (std::size_t i = 0; i < plane.size(); ++i) {
      in[i][0] = plane[i];
      in[i][1] = 0.5 - plane[(i + 1) % plane.size()];
      reference[i] = {in[i][0], in[i][1]};
    }
    transform2d(rows, cols, in.data(), out.data(), FFTW_FORWARD);
    reference = naiveDft(reference, rows, cols, -1);
    for (std::size_t i = 0; i < plane.size(); ++i) {
      EXPECT_NEAR(out[i][0], reference[i].real(), kDftTolerance) << rows << "x" << cols;
      EXPECT_NEAR(out[i][1], reference[i].imag(), kDftTolerance) << rows << "x" << cols;
    }
  }
}

TEST(Transform2d, BackwardAfterForwardScalesByTheCellCountAndKeepsTheInput) {
  const int rows = 9, cols = 10;
  const std::vector<double> plane = randomPlane(rows, cols, 5u);
  FftwBuffer in(plane.size());
  for (std::size_t i = 0; i < plane.size(); ++i) in[i][0] = plane[i];
  FftwBuffer spectrum(plane.size());
  FftwBuffer back(plane.size());
  transform2d(rows, cols, in.data(), spectrum.data(), FFTW_FORWARD);
  for (std::size_t i = 0; i < plane.size(); ++i) EXPECT_EQ(in[i][0], plane[i]);
  transform2d(rows, cols, spectrum.data(), back.data(), FFTW_BACKWARD);
  for (std::size_t i = 0; i < plane.size(); ++i) {
    EXPECT_NEAR(back[i][0], rows * cols * plane[i], kDftTolerance);
    EXPECT_NEAR(back[i][1], 0.0, kDftTolerance);
  }
}

TEST(FftwPlan, RunsAgainOnOtherArraysAndInOneDimension) {
  const int length = 12;
  const std::vector<double> first = randomPlane(1, length, 1u);
  const std::vector<double> second = randomPlane(1, length, 2u);
  FftwBuffer a(length), b(length), outA(length), outB(length);
  for (int i = 0; i < length; ++i) {
    a[i][0] = first[i];
    b[i][0] = second[i];
  }
  const FftwPlan plan = FftwPlan::dft1d(length, a.data(), outA.data(), FFTW_FORWARD);
  plan.execute();
  plan.execute(b.data(), outB.data());

  std::vector<std::complex<double>> refA(first.begin(), first.end());
  std::vector<std::complex<double>> refB(second.begin(), second.end());
  refA = naiveDft(refA, 1, length, -1);
  refB = naiveDft(refB, 1, length, -1);
  for (int i = 0; i < length; ++i) {
    EXPECT_NEAR(outA[i][0], refA[i].real(), kDftTolerance);
    EXPECT_NEAR(outA[i][1], refA[i].imag(), kDftTolerance);
    EXPECT_NEAR(outB[i][0], refB[i].real(), kDftTolerance);
    EXPECT_NEAR(outB[i][1], refB[i].imag(), kDftTolerance);
  }
}

TEST(FftwPlan, KeepsWorkingAfterBeingMoved) {
  const int rows = 3, cols = 4;
  const std::vector<double> plane = randomPlane(rows, cols, 3u);
  FftwBuffer in(plane.size()), out(plane.size());
  for (std::size_t i = 0; i < plane.size(); ++i) in[i][0] = plane[i];
  FftwPlan moved = FftwPlan::dft2d(rows, cols, in.data(), out.data(), FFTW_BACKWARD);
  FftwPlan target;
  target = std::move(moved);
  target.execute();

  std::vector<std::complex<double>> reference(plane.begin(), plane.end());
  reference = naiveDft(reference, rows, cols, +1);
  for (std::size_t i = 0; i < plane.size(); ++i) {
    EXPECT_NEAR(out[i][0], reference[i].real(), kDftTolerance);
    EXPECT_NEAR(out[i][1], reference[i].imag(), kDftTolerance);
  }
}

}  // namespace
}  // namespace kestrel
