#include "prediction/bilateral.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

static_assert(std::has_virtual_destructor_v<CMyBilateralFiltering>);

// A corner weight passes through four single-precision roundings (fraction,
// 1 - fraction, two products), 2.4e-7 relative at most; sums of non-negative
// terms inherit that, a quotient of two such sums twice it.
constexpr double kFloatWeightTolerance = 1e-6;
// Value sum over weight sum of one set of weights: double rounding only.
constexpr double kDoubleTolerance = 1e-12;
// Each blur pass keeps at least half of a cell and a quarter of its inner
// neighbour, so a pixel's own cell keeps at least 5/16 of its splat per axis,
// and the slice reads that cell with a corner weight of at least 1/8.
constexpr double kMinSampledWeight = (5.0 / 16) * (5.0 / 16) * (5.0 / 16) / 8;

using Plane = std::vector<double>;

Plane randomPlane(int width, int height, unsigned seed, double low = 0.0, double high = 1.0) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(low, high);
  Plane plane(static_cast<std::size_t>(width) * height);
  for (double& v : plane) v = uniform(random);
  return plane;
}

struct Filtered {
  Plane weight;
  Plane result;
};

Filtered gridFilter(const Plane& input, const Plane& base, int width, int height, double spaceSigma,
                    double rangeSigma, bool earlyDivision) {
  Filtered out{Plane(input.size(), -1.0), Plane(input.size(), -1.0)};
  EXPECT_EQ(bilateralGridFilter(input.data(), base.data(), width, height, spaceSigma, rangeSigma,
                                earlyDivision, out.weight.data(), out.result.data()),
            kBilateralOk);
  return out;
}

// The grid written as a kernel between pixels. Two passes of [1 2 1]/4 over
// the inner cells of an axis of n cells are the matrix B = M M; the pixel at
// grid position u reads cells floor(u) and floor(u) + 1 with weights 1 - f
// and f, so a pixel q splatted into cell k reaches it with
// (1 - f) B[floor(u)][k] + f B[floor(u) + 1][k] along that axis.
class AxisKernel {
 public:
  AxisKernel(const std::vector<double>& positions, double sigma, double span)
      : cells_(static_cast<int>(std::floor(span / sigma)) + 5), blur_(blurMatrix(cells_)) {
    for (double t : positions) {
      const double u = t / sigma + 2;
      const int low = std::min(static_cast<int>(std::floor(u)), cells_ - 1);
      reads_.push_back({low, std::min(low + 1, cells_ - 1)});
      fractions_.push_back(u - low);
      splats_.push_back(static_cast<int>(std::floor(t / sigma + 0.5)) + 2);
    }
  }
  double cornerWeight(std::size_t p, int corner) const {
    return corner == 0 ? 1 - fractions_[p] : fractions_[p];
  }
  // Weight of q's splat in the corner cell that p reads.
  double spread(std::size_t p, int corner, std::size_t q) const {
    return blur_[reads_[p][corner] * cells_ + splats_[q]];
  }
  double operator()(std::size_t p, std::size_t q) const {
    return cornerWeight(p, 0) * spread(p, 0, q) + cornerWeight(p, 1) * spread(p, 1, q);
  }

 private:
  static std::vector<double> blurMatrix(int n) {
    std::vector<double> m(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 1; i < n - 1; ++i) {
      m[i * n + i - 1] = 0.25;
      m[i * n + i] = 0.5;
      m[i * n + i + 1] = 0.25;
    }
    std::vector<double> squared(m.size(), 0.0);
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j) squared[i * n + j] += m[i * n + k] * m[k * n + j];
    return squared;
  }

  int cells_;
  std::vector<double> blur_;
  std::vector<std::array<int, 2>> reads_;
  std::vector<double> fractions_;
  std::vector<int> splats_;
};

// Pixel-by-pixel evaluation of the grid filter in double precision. With
// spaceOnly the guide is ignored.
Filtered referenceFilter(const Plane& input, const Plane& base, int width, int height,
                         double spaceSigma, double rangeSigma, bool earlyDivision,
                         bool spaceOnly = false) {
  std::vector<double> xs, ys;
  for (int x = 0; x < width; ++x) xs.push_back(x);
  for (int y = 0; y < height; ++y) ys.push_back(y);
  const double low = *std::min_element(base.begin(), base.end());
  const double high = *std::max_element(base.begin(), base.end());
  std::vector<double> range;
  for (double b : base) range.push_back(spaceOnly ? 0.0 : b - low);
  const AxisKernel kx(xs, spaceSigma, width - 1.0);
  const AxisKernel ky(ys, spaceSigma, height - 1.0);
  const AxisKernel kr(range, rangeSigma, spaceOnly ? 0.0 : high - low);

  const std::size_t pixels = input.size();
  Filtered out{Plane(pixels), Plane(pixels)};
  for (std::size_t p = 0; p < pixels; ++p) {
    const std::size_t px = p % width, py = p / width;
    double value = 0.0, weight = 0.0;
    if (!earlyDivision) {
      for (std::size_t q = 0; q < pixels; ++q) {
        const double w = kx(px, q % width) * ky(py, q / width) * kr(p, q);
        value += w * input[q];
        weight += w;
      }
      out.weight[p] = weight;
      out.result[p] = value / weight;
      continue;
    }
    for (int corner = 0; corner < 8; ++corner) {
      const int i = corner & 1, j = (corner >> 1) & 1, k = corner >> 2;
      double cellValue = 0.0, cellWeight = 0.0;
      for (std::size_t q = 0; q < pixels; ++q) {
        const double w =
            kx.spread(px, i, q % width) * ky.spread(py, j, q / width) * kr.spread(p, k, q);
        cellValue += w * input[q];
        cellWeight += w;
      }
      if (cellWeight > 0.0) {
        value += kx.cornerWeight(px, i) * ky.cornerWeight(py, j) * kr.cornerWeight(p, k) *
                 cellValue / cellWeight;
      }
    }
    out.result[p] = value;
  }
  return out;
}

struct Case {
  int width, height;
  double spaceSigma, rangeSigma;
};

const Case kCases[] = {{24, 20, 4.0, 0.1},
                       {17, 23, 2.5, 0.25},
                       {9, 13, 0.7, 0.3},
                       {30, 1, 3.3, 0.05},
                       {1, 1, 1.0, 1.0}};

TEST(BilateralGrid, ConstantGuideGivesFiveValueCells) {
  for (const Case& c : kCases) {
    const Plane input = randomPlane(c.width, c.height, 1);
    const Plane base(input.size(), 0.42);
    BilateralGrid grid;
    ASSERT_EQ(buildBilateralGrid(input.data(), base.data(), c.width, c.height, c.spaceSigma,
                                 c.rangeSigma, grid),
              kBilateralOk);
    EXPECT_EQ(grid.gridR, 5);
    EXPECT_EQ(grid.gridX, static_cast<int>(std::floor((c.width - 1) / c.spaceSigma)) + 5);
    EXPECT_EQ(grid.gridY, static_cast<int>(std::floor((c.height - 1) / c.spaceSigma)) + 5);
    EXPECT_EQ(grid.baseMin, 0.42);
  }
}

TEST(BilateralGrid, ValueAxisSpansTheGuideRangeAndTheOuterLayerStaysEmpty) {
  const int width = 40, height = 33;
  Plane base = randomPlane(width, height, 2, 0.25, 1.0);
  base[5] = 0.25;
  base[77] = 1.0;
  BilateralGrid grid;
  ASSERT_EQ(buildBilateralGrid(randomPlane(width, height, 3).data(), base.data(), width, height,
                               4.0, 0.125, grid),
            kBilateralOk);
  EXPECT_EQ(grid.gridX, 9 + 5);
  EXPECT_EQ(grid.gridY, 8 + 5);
  EXPECT_EQ(grid.gridR, 6 + 5);
  EXPECT_EQ(grid.baseMin, 0.25);
  for (int x = 0; x < grid.gridX; ++x)
    for (int y = 0; y < grid.gridY; ++y)
      for (int r = 0; r < grid.gridR; ++r) {
        if (x > 0 && y > 0 && r > 0 && x < grid.gridX - 1 && y < grid.gridY - 1 &&
            r < grid.gridR - 1)
          continue;
        const std::size_t c = 2 * ((static_cast<std::size_t>(x) * grid.gridY + y) * grid.gridR + r);
        ASSERT_EQ(grid.cells[c], 0.0);
        ASSERT_EQ(grid.cells[c + 1], 0.0);
      }
}

TEST(BilateralFilter, ConstantGuideSmoothsOverSpaceOnly) {
  for (const Case& c : kCases) {
    const Plane input = randomPlane(c.width, c.height, 4);
    const Plane base(input.size(), 0.6);
    const Filtered got =
        gridFilter(input, base, c.width, c.height, c.spaceSigma, c.rangeSigma, false);
    const Plane spatial =
        referenceFilter(input, base, c.width, c.height, c.spaceSigma, c.rangeSigma, false, true)
            .result;
    for (std::size_t p = 0; p < input.size(); ++p)
      ASSERT_NEAR(got.result[p], spatial[p], kFloatWeightTolerance) << c.width << "x" << c.height;
  }
}

TEST(BilateralFilter, MatchesThePixelByPixelFormOfTheGridInBothDivisionModes) {
  for (const Case& c : kCases) {
    const Plane input = randomPlane(c.width, c.height, 6);
    const Plane base = randomPlane(c.width, c.height, 7);
    for (bool early : {false, true}) {
      const Filtered got =
          gridFilter(input, base, c.width, c.height, c.spaceSigma, c.rangeSigma, early);
      const Filtered want =
          referenceFilter(input, base, c.width, c.height, c.spaceSigma, c.rangeSigma, early);
      for (std::size_t p = 0; p < input.size(); ++p) {
        ASSERT_NEAR(got.result[p], want.result[p], kFloatWeightTolerance) << early << " " << p;
        if (!early) {
          ASSERT_NEAR(got.weight[p], want.weight[p], kFloatWeightTolerance * want.weight[p]);
        }
      }
    }
  }
}

TEST(BilateralFilter, ConstantInputStaysConstant) {
  for (int width : {1, 5, 32, 77}) {
    for (int height : {1, 8, 41}) {
      for (double spaceSigma : {0.6, 3.0, 16.0}) {
        const Plane input(static_cast<std::size_t>(width) * height, 0.37);
        const Plane base = randomPlane(width, height, width * 100 + height);
        const Filtered got = gridFilter(input, base, width, height, spaceSigma, 0.08, false);
        for (double v : got.result) ASSERT_NEAR(v, 0.37, kDoubleTolerance);
      }
    }
  }
}

TEST(BilateralFilter, ImpulseSpreadsSymmetricallyAndOnlyNearby) {
  // (n - 1) / spaceSigma is whole, so the grid mirrors onto itself, and no
  // pixel falls exactly halfway between cells, where rounding would break
  // the mirror.
  const int n = 31;
  const double spaceSigma = 3.0;
  const int centre = n / 2;
  Plane input(n * n, 0.0);
  input[centre * n + centre] = 1.0;
  const Plane result = gridFilter(input, Plane(n * n, 0.5), n, n, spaceSigma, 0.1, false).result;
  auto at = [&](int x, int y) { return result[y * n + x]; };
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      EXPECT_NEAR(at(x, y), at(n - 1 - x, y), kFloatWeightTolerance);
      EXPECT_NEAR(at(x, y), at(x, n - 1 - y), kFloatWeightTolerance);
      EXPECT_NEAR(at(x, y), at(y, x), kFloatWeightTolerance);
      EXPECT_LE(at(x, y), at(centre, centre));
      // Blur and interpolation reach less than 3.5 cells from the splat.
      if (std::abs(x - centre) > 3.5 * spaceSigma || std::abs(y - centre) > 3.5 * spaceSigma) {
        EXPECT_EQ(at(x, y), 0.0);
      } else if (std::abs(x - centre) <= spaceSigma && std::abs(y - centre) <= spaceSigma) {
        EXPECT_GT(at(x, y), 0.0);
      }
    }
  }
  EXPECT_LT(at(centre, centre), 1.0);
}

TEST(BilateralFilter, GuideValuesFarApartDoNotInfluenceEachOther) {
  const int width = 48, height = 40;
  const double rangeSigma = 0.05;
  // Band B starts 4.6 rangeSigma above the top of band A.
  const double gap = 4.6 * rangeSigma;
  std::mt19937 random(8);
  std::bernoulli_distribution inB(0.5);
  Plane base = randomPlane(width, height, 9, 0.0, 0.2);
  std::vector<bool> band(base.size());
  for (std::size_t p = 0; p < base.size(); ++p) {
    band[p] = inB(random);
    if (band[p]) base[p] += 0.2 + gap;
  }
  const Plane before = randomPlane(width, height, 10);
  Plane after = before;
  const Plane replacement = randomPlane(width, height, 11);
  for (std::size_t p = 0; p < after.size(); ++p)
    if (band[p]) after[p] = replacement[p];

  for (bool early : {false, true}) {
    const Plane first = gridFilter(before, base, width, height, 3.0, rangeSigma, early).result;
    const Plane second = gridFilter(after, base, width, height, 3.0, rangeSigma, early).result;
    int changed = 0;
    for (std::size_t p = 0; p < base.size(); ++p) {
      if (band[p])
        changed += first[p] != second[p];
      else
        ASSERT_EQ(first[p], second[p]) << p;
    }
    EXPECT_GT(changed, 0);
  }
}

TEST(BilateralFilter, StepPresentInInputAndGuideSurvivesExactlyOnItsLowSide) {
  const int width = 20, height = 10;
  Plane step(width * height, 0.0);
  for (int y = 0; y < height; ++y)
    for (int x = width / 2; x < width; ++x) step[y * width + x] = 1.0;
  const Plane result = gridFilter(step, step, width, height, 2.0, 0.2, false).result;
  for (std::size_t p = 0; p < step.size(); ++p) {
    if (step[p] == 0.0)
      ASSERT_EQ(result[p], 0.0);
    else
      ASSERT_NEAR(result[p], 1.0, kDoubleTolerance);
  }
}

TEST(BilateralGridFilter, SampledWeightSumIsPositiveForRandomGuides) {
  for (int width : {1, 7, 50}) {
    for (int height : {1, 12, 45}) {
      for (double spaceSigma : {0.3, 1.0, 5.5}) {
        for (double rangeSigma : {0.01, 0.2, 5.0}) {
          const Plane base = randomPlane(width, height, width * height + 17);
          const Plane weight = gridFilter(randomPlane(width, height, 12), base, width, height,
                                          spaceSigma, rangeSigma, false)
                                   .weight;
          for (double w : weight) ASSERT_GE(w, kMinSampledWeight);
        }
      }
    }
  }
}

TEST(BilateralGridFilter, EarlyDivisionAgreesWithLateOnAConstantInputAndLeavesWeightAlone) {
  for (const Case& c : kCases) {
    const Plane input(static_cast<std::size_t>(c.width) * c.height, 0.8);
    const Plane base = randomPlane(c.width, c.height, 13);
    const Filtered late =
        gridFilter(input, base, c.width, c.height, c.spaceSigma, c.rangeSigma, false);
    const Filtered early =
        gridFilter(input, base, c.width, c.height, c.spaceSigma, c.rangeSigma, true);
    for (std::size_t p = 0; p < input.size(); ++p) {
      ASSERT_NEAR(early.result[p], late.result[p], kFloatWeightTolerance);
      ASSERT_EQ(early.weight[p], -1.0);
    }
  }
}

TEST(BilateralFilter, OutputMayBeTheInputOrTheGuide) {
  const int width = 26, height = 19;
  const Plane input = randomPlane(width, height, 14);
  const Plane base = randomPlane(width, height, 15);
  const Plane want = gridFilter(input, base, width, height, 2.0, 0.1, false).result;

  Plane output(input.size(), 0.0);
  BilateralParams params{input.data(), base.data(), output.data(), width, height, 2.0, 0.1};
  ASSERT_EQ(bilateralFilter(params), kBilateralOk);
  EXPECT_EQ(output, want);

  Plane inPlace = input;
  params.input = params.output = inPlace.data();
  ASSERT_EQ(bilateralFilter(params), kBilateralOk);
  EXPECT_EQ(inPlace, want);

  Plane guideInPlace = base;
  params = {input.data(), guideInPlace.data(), guideInPlace.data(), width, height, 2.0, 0.1};
  ASSERT_EQ(bilateralFilter(params), kBilateralOk);
  EXPECT_EQ(guideInPlace, want);
}

BilateralGrid affineGrid(int gx, int gy, int gr) {
  BilateralGrid grid{gx, gy, gr, 0.0, {}};
  for (int x = 0; x < gx; ++x)
    for (int y = 0; y < gy; ++y)
      for (int r = 0; r < gr; ++r) {
        grid.cells.push_back(1.0 + 2.0 * x - 0.5 * y + 3.0 * r);
        grid.cells.push_back(4.0 + 0.25 * x + y + 0.75 * r);
      }
  return grid;
}

TEST(TrilinearSample, GridPointsReturnTheirCell) {
  const BilateralGrid grid = affineGrid(6, 5, 7);
  for (int x = 0; x < 6; ++x)
    for (int y = 0; y < 5; ++y)
      for (int r = 0; r < 7; ++r) {
        const auto [value, weight] = trilinearSample(grid, x, y, r);
        EXPECT_EQ(value, 1.0 + 2.0 * x - 0.5 * y + 3.0 * r);
        EXPECT_EQ(weight, 4.0 + 0.25 * x + y + 0.75 * r);
      }
}

TEST(TrilinearSample, InterpolatesLinearlyBetweenCells) {
  // Trilinear interpolation reproduces an affine function; the values reach
  // about 30, which scales the float weights' error.
  constexpr double kAffineTolerance = 30 * kFloatWeightTolerance;
  const BilateralGrid grid = affineGrid(6, 5, 7);
  std::mt19937 random(16);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int i = 0; i < 500; ++i) {
    const double x = 5 * uniform(random), y = 4 * uniform(random), r = 6 * uniform(random);
    const auto [value, weight] = trilinearSample(grid, x, y, r);
    EXPECT_NEAR(value, 1.0 + 2.0 * x - 0.5 * y + 3.0 * r, kAffineTolerance);
    EXPECT_NEAR(weight, 4.0 + 0.25 * x + y + 0.75 * r, kAffineTolerance);
  }
}

TEST(TrilinearSample, RoundsTheFractionToSinglePrecision) {
  BilateralGrid grid{2, 1, 1, 0.0, {0.0, 0.0, 1.0, 1.0}};
  const auto [value, weight] = trilinearSample(grid, 0.1, 0.0, 0.0);
  EXPECT_EQ(value, static_cast<double>(0.1f));
  EXPECT_EQ(weight, static_cast<double>(0.1f));
}

TEST(TrilinearSample, PositionsOutsideTheGridReadItsOuterLayer) {
  const BilateralGrid grid = affineGrid(6, 5, 7);
  for (double beyond : {0.0, 0.5, 1e300, std::numeric_limits<double>::infinity()}) {
    const auto [value, weight] = trilinearSample(grid, 5 + beyond, 4 + beyond, 6 + beyond);
    EXPECT_EQ(value, 1.0 + 2.0 * 5 - 0.5 * 4 + 3.0 * 6);
    EXPECT_EQ(weight, 4.0 + 0.25 * 5 + 4 + 0.75 * 6);
    const auto [below, belowWeight] = trilinearSample(grid, -beyond, 2.0, -beyond);
    EXPECT_EQ(below, 1.0 - 0.5 * 2);
    EXPECT_EQ(belowWeight, 4.0 + 2);
  }
}

// Refusals must leave the output as it was.
class BilateralFilterRefuses : public ::testing::Test {
 protected:
  int run() {
    const Plane before = output;
    const int status = bilateralFilter(params);
    if (status != kBilateralOk) {
      EXPECT_EQ(output, before);
    }
    return status;
  }
  void use(int width, int height, const Plane& guide) {
    input.assign(guide.size(), 0.5);
    base = guide;
    output.assign(guide.size(), 7.0);
    params = {input.data(), base.data(), output.data(), width, height, 2.0, 0.1};
  }

  Plane input = randomPlane(6, 5, 17);
  Plane base = randomPlane(6, 5, 18);
  Plane output = Plane(30, 7.0);
  BilateralParams params{input.data(), base.data(), output.data(), 6, 5, 2.0, 0.1};
};

TEST_F(BilateralFilterRefuses, SigmasThatAreNotFiniteAndPositive) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double sigma : {0.0, -0.0, -1.0, -1e-300, nan, inf, -inf}) {
    params.spaceSigma = sigma;
    EXPECT_EQ(run(), kBilateralBadSigma) << sigma;
    params.spaceSigma = 2.0;
    params.rangeSigma = sigma;
    EXPECT_EQ(run(), kBilateralBadSigma) << sigma;
    params.rangeSigma = 0.1;
  }
  EXPECT_EQ(run(), kBilateralOk);
}

TEST_F(BilateralFilterRefuses, EmptyPlanesAndMissingPointers) {
  for (auto [width, height] : {std::pair{0, 5}, {6, 0}, {-1, 5}, {6, -3}}) {
    params.width = width;
    params.height = height;
    EXPECT_EQ(run(), kBilateralBadPlane) << width << "x" << height;
  }
  params.width = 6;
  params.height = 5;
  for (const double** plane : {&params.input, &params.base}) {
    const double* kept = *plane;
    *plane = nullptr;
    EXPECT_EQ(run(), kBilateralBadPlane);
    *plane = kept;
  }
  params.output = nullptr;
  EXPECT_EQ(run(), kBilateralBadPlane);
}

TEST_F(BilateralFilterRefuses, AGuideWithoutAFiniteRange) {
  for (double bad :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    for (std::size_t at : {std::size_t{0}, std::size_t{17}}) {
      Plane guide = randomPlane(6, 5, 19);
      guide[at] = bad;
      use(6, 5, guide);
      EXPECT_EQ(run(), kBilateralBadGuide) << bad << " at " << at;
    }
  }
}

TEST_F(BilateralFilterRefuses, GridsAboveTheCellLimit) {
  use(2, 1, {0.0, 1.0});
  params.rangeSigma = 1e-9;
  EXPECT_EQ(run(), kBilateralGridTooLarge);

  // 5 x 5 x 671089 cells, the first count of value cells past 2^24 cells.
  params.spaceSigma = 1e6;
  params.rangeSigma = 1.0 / 671084.5;
  EXPECT_EQ(run(), kBilateralGridTooLarge);

  use(6, 5, randomPlane(6, 5, 20));
  params.spaceSigma = 1e-300;
  EXPECT_EQ(run(), kBilateralGridTooLarge);

  // Finite extremes whose difference overflows to infinity.
  use(2, 1, {-1e308, 1e308});
  EXPECT_EQ(run(), kBilateralGridTooLarge);
}

TEST(BilateralGridFilter, NeedsAWeightPlaneOnlyWithoutEarlyDivision) {
  const Plane input = randomPlane(8, 6, 21);
  Plane result(input.size(), 7.0);
  EXPECT_EQ(bilateralGridFilter(input.data(), input.data(), 8, 6, 2.0, 0.1, false, nullptr,
                                result.data()),
            kBilateralBadPlane);
  EXPECT_EQ(result, Plane(input.size(), 7.0));
  EXPECT_EQ(
      bilateralGridFilter(input.data(), input.data(), 8, 6, 2.0, 0.1, true, nullptr, result.data()),
      kBilateralOk);
  Plane weight(input.size());
  EXPECT_EQ(
      bilateralGridFilter(input.data(), input.data(), 8, 6, 2.0, 0.1, true, weight.data(), nullptr),
      kBilateralBadPlane);
}

}  // namespace
}  // namespace kestrel
