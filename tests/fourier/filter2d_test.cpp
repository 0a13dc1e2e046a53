#include "fourier/filter2d.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "tests/fourier/test_support.h"

namespace kestrel {
namespace {

using testing::Plane;
using testing::randomPlane;

// Sums of up to a few dozen products of values in [-1, 1], accumulated in a
// different order from the reference: a few ulps of the sum's magnitude.
constexpr double kSumTolerance = 1e-13;

// Written per kernel element: element (m, n) of a convolution kernel reaches
// the input at offset (ay - m, ax - n) from the output position, with
// (ay, ax) = (kh - 1 - cy, kw - 1 - cx); a correlation kernel at (m - cy, n - cx).
Plane referenceFilter(const Plane& in, int height, int width, const Plane& kernel, int kernelHeight,
                      int kernelWidth, int boundaryMode, int filterMode, double scale) {
  const int cy = (kernelHeight - 1) / 2, cx = (kernelWidth - 1) / 2;
  Plane out(in.size(), 0.0);
  for (int i = 0; i < height; ++i) {
    for (int j = 0; j < width; ++j) {
      double sum = 0.0;
      for (int m = 0; m < kernelHeight; ++m) {
        for (int n = 0; n < kernelWidth; ++n) {
          int r = filterMode == kFilterConvolution ? i + (kernelHeight - 1 - cy) - m : i + m - cy;
          int c = filterMode == kFilterConvolution ? j + (kernelWidth - 1 - cx) - n : j + n - cx;
          const bool outside = r < 0 || r >= height || c < 0 || c >= width;
          if (outside && boundaryMode == kBoundaryZero) continue;
          r = std::clamp(r, 0, height - 1);
          c = std::clamp(c, 0, width - 1);
          sum += kernel[m * kernelWidth + n] * in[r * width + c];
        }
      }
      out[i * width + j] = scale * sum;
    }
  }
  return out;
}

FilterParams paramsFor(const Plane& in, Plane& out, int height, int width, const Plane& kernel,
                       int kernelHeight, int kernelWidth, int boundaryMode, int filterMode,
                       double scale = 1.0) {
  FilterParams p;
  p.input = in.data();
  p.output = out.data();
  p.width = width;
  p.height = height;
  p.scale = scale;
  p.kernel = kernel.data();
  p.kernelWidth = kernelWidth;
  p.kernelHeight = kernelHeight;
  p.boundaryMode = boundaryMode;
  p.filterMode = filterMode;
  return p;
}

TEST(Filter2D, MatchesADirectSumInEveryModeInAndOutOfPlace) {
  const std::tuple<int, int> planes[] = {{7, 9}, {1, 5}, {6, 1}, {10, 8}, {2, 2}};
  const std::tuple<int, int> kernels[] = {{1, 1}, {3, 3}, {2, 4}, {5, 2}, {1, 3}, {4, 1}, {5, 5}};
  unsigned seed = 100;
  for (const auto& [height, width] : planes) {
    const Plane in = randomPlane(height, width, seed++, -1.0, 1.0);
    for (const auto& [kernelHeight, kernelWidth] : kernels) {
      const Plane kernel = randomPlane(kernelHeight, kernelWidth, seed++, -1.0, 1.0);
      for (int boundary : {kBoundaryZero, kBoundaryReplicate}) {
        for (int mode : {kFilterConvolution, kFilterCorrelation}) {
          const Plane expected = referenceFilter(in, height, width, kernel, kernelHeight,
                                                 kernelWidth, boundary, mode, 0.7);
          Plane out(in.size(), 99.0);
          FilterParams p = paramsFor(in, out, height, width, kernel, kernelHeight, kernelWidth,
                                     boundary, mode, 0.7);
          EXPECT_EQ(filter2D(p), 0);
          for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_NEAR(out[i], expected[i], kSumTolerance)
                << height << "x" << width << " kernel " << kernelHeight << "x" << kernelWidth
                << " boundary " << boundary << " mode " << mode;
          }

          Plane inPlace = in;
          FilterParams q = paramsFor(inPlace, inPlace, height, width, kernel, kernelHeight,
                                     kernelWidth, boundary, mode, 0.7);
          q.input = inPlace.data();
          filter2D(q);
          EXPECT_EQ(inPlace, out);
        }
      }
    }
  }
}

// A correlation kernel meets the input in the order the reference sums it,
// so on planes wide and tall enough for a window-sized interior every value,
// interior and border alike, must come out bit for bit.
TEST(Filter2D, AddsTheSameTermsInTheSameOrderAsADirectCorrelation) {
  const std::tuple<int, int> planes[] = {{40, 57}, {23, 64}, {9, 12}};
  const std::tuple<int, int> kernels[] = {{5, 5}, {3, 1}, {1, 3}, {3, 7}, {4, 6}};
  unsigned seed = 500;
  for (const auto& [height, width] : planes) {
    const Plane in = randomPlane(height, width, seed++, -1.0, 1.0);
    for (const auto& [kernelHeight, kernelWidth] : kernels) {
      const Plane kernel = randomPlane(kernelHeight, kernelWidth, seed++, -1.0, 1.0);
      for (int boundary : {kBoundaryZero, kBoundaryReplicate}) {
        const Plane expected = referenceFilter(in, height, width, kernel, kernelHeight, kernelWidth,
                                               boundary, kFilterCorrelation, 1.3);
        Plane out(in.size(), 99.0);
        FilterParams p = paramsFor(in, out, height, width, kernel, kernelHeight, kernelWidth,
                                   boundary, kFilterCorrelation, 1.3);
        filter2D(p);
        EXPECT_EQ(out, expected) << height << "x" << width << " kernel " << kernelHeight << "x"
                                 << kernelWidth << " boundary " << boundary;
      }
    }
  }
}

TEST(Filter2D, CopiesThePlaneWithAUnitKernel) {
  const Plane in = randomPlane(5, 6, 7u);
  const Plane unit = {1.0};
  for (int boundary : {kBoundaryZero, kBoundaryReplicate}) {
    for (int mode : {kFilterConvolution, kFilterCorrelation}) {
      Plane out(in.size());
      FilterParams p = paramsFor(in, out, 5, 6, unit, 1, 1, boundary, mode);
      filter2D(p);
      EXPECT_EQ(out, in);
    }
  }
}

TEST(Filter2D, TakesForwardAndBackwardDifferencesWithAClampedEdge) {
  const int height = 4, width = 5;
  const Plane in = randomPlane(height, width, 8u);
  const Plane difference = {0.0, -1.0, 1.0};
  Plane forward(in.size()), backward(in.size());
  FilterParams p = paramsFor(in, forward, height, width, difference, 1, 3, kBoundaryReplicate,
                             kFilterCorrelation);
  filter2D(p);
  FilterParams q = paramsFor(in, backward, height, width, difference, 1, 3, kBoundaryReplicate,
                             kFilterConvolution);
  filter2D(q);
  for (int i = 0; i < height; ++i) {
    for (int j = 0; j < width; ++j) {
      const double here = in[i * width + j];
      const double expectedForward = j + 1 < width ? in[i * width + j + 1] - here : 0.0;
      const double expectedBackward = j > 0 ? in[i * width + j - 1] - here : 0.0;
      EXPECT_NEAR(forward[i * width + j], expectedForward, kSumTolerance) << i << "," << j;
      EXPECT_NEAR(backward[i * width + j], expectedBackward, kSumTolerance) << i << "," << j;
    }
  }
}

TEST(Filter2D, BoxMeanAtACornerCountsOnlyInsideCellsWithZeroBoundary) {
  const Plane ones(6 * 7, 1.0);
  const Plane box(9, 1.0 / 9.0);
  Plane zero(ones.size()), replicate(ones.size());
  FilterParams p = paramsFor(ones, zero, 6, 7, box, 3, 3, kBoundaryZero, kFilterConvolution);
  filter2D(p);
  FilterParams q =
      paramsFor(ones, replicate, 6, 7, box, 3, 3, kBoundaryReplicate, kFilterConvolution);
  filter2D(q);
  for (int corner : {0, 6, 5 * 7, 6 * 7 - 1}) {
    EXPECT_NEAR(zero[corner], 4.0 / 9.0, kSumTolerance);
    EXPECT_NEAR(replicate[corner], 1.0, kSumTolerance);
  }
  EXPECT_NEAR(zero[2 * 7 + 3], 1.0, kSumTolerance);
  EXPECT_NEAR(zero[3], 6.0 / 9.0, kSumTolerance);
}

TEST(Filter2D, ReplacesAnOutOfRangeScaleByOneInTheRecord) {
  const Plane in = randomPlane(3, 4, 9u);
  const Plane unit = {1.0};
  for (double scale : {0.0, 1e11, -1e11, 9e-11}) {
    Plane out(in.size());
    FilterParams p = paramsFor(in, out, 3, 4, unit, 1, 1, kBoundaryZero, kFilterConvolution, scale);
    filter2D(p);
    EXPECT_EQ(p.scale, 1.0) << scale;
    EXPECT_EQ(out, in) << scale;
  }
  for (double scale : {1e-10, -2.0, 1e10}) {
    Plane out(in.size());
    FilterParams p = paramsFor(in, out, 3, 4, unit, 1, 1, kBoundaryZero, kFilterConvolution, scale);
    filter2D(p);
    EXPECT_EQ(p.scale, scale);
    for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], scale * in[i]) << scale;
  }
}

TEST(Filter2D, ChangesNoOtherFieldOfTheRecord) {
  const Plane in = randomPlane(4, 4, 10u);
  const Plane kernel = randomPlane(3, 2, 11u);
  Plane out(in.size());
  FilterParams p =
      paramsFor(in, out, 4, 4, kernel, 3, 2, kBoundaryReplicate, kFilterCorrelation, 0.0);
  filter2D(p);
  EXPECT_EQ(p.input, in.data());
  EXPECT_EQ(p.output, out.data());
  EXPECT_EQ(p.width, 4);
  EXPECT_EQ(p.height, 4);
  EXPECT_EQ(p.kernel, kernel.data());
  EXPECT_EQ(p.kernelWidth, 2);
  EXPECT_EQ(p.kernelHeight, 3);
  EXPECT_EQ(p.boundaryMode, kBoundaryReplicate);
  EXPECT_EQ(p.filterMode, kFilterCorrelation);
  EXPECT_EQ(in, randomPlane(4, 4, 10u));
}

}  // namespace
}  // namespace kestrel
