#include "deblur/tiling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/support/sample_photo.h"

namespace kestrel {
namespace {

TEST(TileSpans, CoresCoverThePictureAndWeightsAddUpToOne) {
  for (const int length : {100, 1000, 2500, 4001}) {
    const int halfBand = 20;
    const std::vector<TileSpan> spans = tileSpans(length, 512, 70);
    ASSERT_EQ(spans.front().coreBegin, 0);
    ASSERT_EQ(spans.back().coreEnd, length);
    for (std::size_t i = 0; i < spans.size(); ++i) {
      const TileSpan& span = spans[i];
      if (i > 0) {
        ASSERT_EQ(span.coreBegin, spans[i - 1].coreEnd);
      }
      EXPECT_EQ(span.begin, std::max(0, span.coreBegin - 70));
      EXPECT_EQ(span.end, std::min(length, span.coreEnd + 70));
    }
    for (int x = 0; x < length; ++x) {
      double sum = 0.0;
      for (const TileSpan& span : spans) {
        const double weight = blendWeight(x, span, halfBand, length);
        // A tile never lends weight to a sample it did not deconvolve, nor
        // to one within 50 samples of its own cut edges.
        if (weight > 0.0) {
          EXPECT_GE(x, span.begin);
          EXPECT_LT(x, span.end);
          if (span.begin > 0) {
            EXPECT_GE(x - span.begin, 50);
          }
          if (span.end < length) {
            EXPECT_GE(span.end - x, 50);
          }
        }
        sum += weight;
      }
      ASSERT_NEAR(sum, 1.0, 1e-12) << length << " " << x;
    }
  }
}

// PSNR for a peak of 1 of a picture whose errors are differences.
double psnrOfDifferences(const std::vector<double>& differences) {
  double squares = 0.0;
  for (double d : differences) squares += d * d;
  return 10.0 * std::log10(static_cast<double>(differences.size()) / squares);
}

double meanAbsolute(const std::vector<double>& values) {
  double sum = 0.0;
  for (double v : values) sum += std::fabs(v);
  return sum / static_cast<double>(values.size());
}

// The bundled photograph in tiles of 160 against the whole-picture result.
// The picture's own borders differ most, since each tile extrapolates them
// across its own wrap-around, and weigh heavily in so small a picture; the
// interior must agree closely, and no more along the tile edges than
// elsewhere.
TEST(DeconvolveInTiles, MatchesTheWholePictureWithoutSeams) {
  const testing::SamplePhoto sample = testing::loadSamplePhoto();
  ASSERT_FALSE(::testing::Test::HasFailure());
  const LoadedPlanes& photo = sample.photo;
  const LoadedPlanes& truth = sample.trueKernel;
  const int rows = photo.height, cols = photo.width, side = truth.width;
  std::vector<double> kernel(truth.planes.begin(), truth.planes.begin() + side * side);
  double total = 0.0;
  for (double v : kernel) total += v;
  for (double& v : kernel) v /= total;

  std::vector<double> whole(photo.planes.size());
  std::vector<double> tiled(photo.planes.size());
  ASSERT_TRUE(deconvolvePicture(photo.planes.data(), whole.data(), rows, cols, photo.channels,
                                kernel.data(), side, side, 0.02, 10, 0, {}));
  constexpr int kCore = 160;
  ASSERT_TRUE(deconvolveInTiles(photo.planes.data(), tiled.data(), rows, cols, photo.channels,
                                kernel.data(), side, side, 0.02, 10, 0, {}, kCore));
  // As written, clamped to [0, 1]: measured 45.4 dB over the whole picture.
  std::vector<double> written(whole.size());
  for (std::size_t i = 0; i < whole.size(); ++i) {
    written[i] = std::clamp(tiled[i], 0.0, 1.0) - std::clamp(whole[i], 0.0, 1.0);
  }
  EXPECT_GT(psnrOfDifferences(written), 42.0);

  // Differences of the first plane away from the picture's borders: the
  // lines next to a core edge, and the others.
  const auto nearCut = [&](int x, int length) {
    const std::vector<TileSpan> spans = tileSpans(length, kCore, 0);
    for (std::size_t i = 1; i < spans.size(); ++i) {
      if (std::abs(x - spans[i].coreBegin) <= 2) return true;
    }
    return false;
  };
  const int border = 2 * side;
  std::vector<double> atCuts;
  std::vector<double> elsewhere;
  for (int y = border; y < rows - border; ++y) {
    for (int x = border; x < cols - border; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * cols + x;
      const double d = tiled[i] - whole[i];
      (nearCut(x, cols) || nearCut(y, rows) ? atCuts : elsewhere).push_back(d);
    }
  }
  ASSERT_FALSE(atCuts.empty());
  std::vector<double> interior = atCuts;
  interior.insert(interior.end(), elsewhere.begin(), elsewhere.end());
  // Measured: 64 dB, and a ratio of 1.7; tiles cross-faded over 2 samples
  // instead of the band give 58 dB and 2.4.
  EXPECT_GT(psnrOfDifferences(interior), 60.0);
  EXPECT_LT(meanAbsolute(atCuts), 2.0 * meanAbsolute(elsewhere));
}

}  // namespace
}  // namespace kestrel
