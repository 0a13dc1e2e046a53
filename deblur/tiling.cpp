#include "deblur/tiling.h"

#include <algorithm>
#include <cmath>

#include "fourier/grid.h"

namespace kestrel {
namespace {

// Margin and half band of a kernel side each: on a 2 MP photo with a 31 x 31
// kernel, tiles of 512 agree with the whole-picture result to 62 dB away
// from the picture's borders; a margin of three kernel sides gains 3 dB
// there for a third more pixels to deconvolve.
constexpr int kMarginKernels = 1;
constexpr int kLeastMargin = 48;
constexpr int kLeastHalfBand = 16;

}  // namespace

std::vector<TileSpan> tileSpans(int length, int core, int reach) {
  const int count = std::max(1, static_cast<int>(std::lround(static_cast<double>(length) / core)));
  std::vector<TileSpan> spans(count);
  for (int i = 0; i < count; ++i) {
    TileSpan& span = spans[i];
    span.coreBegin = static_cast<int>(static_cast<long long>(length) * i / count);
    span.coreEnd = static_cast<int>(static_cast<long long>(length) * (i + 1) / count);
    span.begin = std::max(0, span.coreBegin - reach);
    span.end = std::min(length, span.coreEnd + reach);
  }
  return spans;
}

double blendWeight(int x, const TileSpan& span, int halfBand, int length) {
  const double centre = x + 0.5;
  const double band = 2.0 * halfBand;
  const double rising =
      span.coreBegin == 0 ? 1.0 : std::clamp((centre - (span.coreBegin - halfBand)) / band, 0.0, 1.0);
  const double falling =
      span.coreEnd == length ? 1.0 : std::clamp((span.coreEnd + halfBand - centre) / band, 0.0, 1.0);
  return rising * falling;
}

int tileMargin(int kheight, int kwidth) {
  return std::max(kLeastMargin, kMarginKernels * std::max(kheight, kwidth));
}

int tileHalfBand(int kheight, int kwidth) {
  return std::max(kLeastHalfBand, std::max(kheight, kwidth));
}

bool deconvolveInTiles(const double* input, double* output, int height, int width, int channels,
                       const double* kernel, int kheight, int kwidth, double wtdeconv,
                       int deringingWeight, int denoise, const DeblurProgressCallback& progress,
                       int tileCore) {
  const int halfBand = tileHalfBand(kheight, kwidth);
  const int reach = tileMargin(kheight, kwidth) + halfBand;
  const std::vector<TileSpan> rowSpans = tileSpans(height, tileCore, reach);
  const std::vector<TileSpan> colSpans = tileSpans(width, tileCore, reach);
  const int tiles = static_cast<int>(rowSpans.size() * colSpans.size());
  const std::size_t planeCells = cellCount(height, width);
  std::fill(output, output + planeCells * channels, 0.0);

  bool everyPlane = true;
  int tile = 0;
  for (const TileSpan& rows : rowSpans) {
    for (const TileSpan& cols : colSpans) {
      const int tileRows = rows.end - rows.begin;
      const int tileCols = cols.end - cols.begin;
      const std::size_t tileCells = cellCount(tileRows, tileCols);
      std::vector<double> tileInput(tileCells * channels);
      for (int c = 0; c < channels; ++c) {
        for (int y = 0; y < tileRows; ++y) {
          const double* from = input + planeCells * c + cellCount(rows.begin + y, width) + cols.begin;
          std::copy(from, from + tileCols, tileInput.data() + tileCells * c + cellCount(y, tileCols));
        }
      }
      // The stage lines and the padding report come once, with the first
      // tile; the deconvolution's share done counts the tiles.
      const DeblurProgressCallback tileProgress = [&](const DeblurProgress& report) {
        if (!progress) return;
        if (report.stage == DeblurProgress::Stage::Deconvolution) {
          DeblurProgress share = report;
          share.done = (tile + report.done) / tiles;
          progress(share);
        } else if (tile == 0) {
          progress(report);
        }
      };
      std::vector<double> tileOutput(tileInput.size());
      everyPlane = deconvolvePicture(tileInput.data(), tileOutput.data(), tileRows, tileCols,
                                     channels, kernel, kheight, kwidth, wtdeconv,
                                     deringingWeight, denoise, tileProgress) &&
                   everyPlane;

      std::vector<double> colWeights(tileCols);
      for (int x = 0; x < tileCols; ++x) {
        colWeights[x] = blendWeight(cols.begin + x, cols, halfBand, width);
      }
      for (int y = 0; y < tileRows; ++y) {
        const double rowWeight = blendWeight(rows.begin + y, rows, halfBand, height);
        if (rowWeight == 0.0) continue;
        for (int c = 0; c < channels; ++c) {
          const double* from = tileOutput.data() + tileCells * c + cellCount(y, tileCols);
          double* to = output + planeCells * c + cellCount(rows.begin + y, width) + cols.begin;
          for (int x = 0; x < tileCols; ++x) to[x] += rowWeight * colWeights[x] * from[x];
        }
      }
      ++tile;
    }
  }
  return everyPlane;
}

bool deconvolveAnySize(const double* input, double* output, int height, int width, int channels,
                       const double* kernel, int kheight, int kwidth, double wtdeconv,
                       int deringingWeight, int denoise, const DeblurProgressCallback& progress) {
  if (static_cast<long long>(height) * width > kTiledAbovePixels) {
    return deconvolveInTiles(input, output, height, width, channels, kernel, kheight, kwidth,
                             wtdeconv, deringingWeight, denoise, progress);
  }
  return deconvolvePicture(input, output, height, width, channels, kernel, kheight, kwidth,
                           wtdeconv, deringingWeight, denoise, progress);
}

}  // namespace kestrel
