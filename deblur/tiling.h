// The final deconvolution of a large picture in overlapping tiles, so that
// its working memory is that of one tile rather than of the whole picture.
//
// Each tile is a core of the picture extended on every side by a margin,
// padded and deconvolved on its own as a picture of that size
// (deconvolvePicture), and blended into the output: a tile's weight is 1
// inside its core, falls linearly to 0 over a band straddling each core
// edge shared with a neighbour, and the weights of neighbouring tiles add
// up to 1 there. The band and the margin are several kernel widths wide, so
// the artificial edges of a tile lie too far from where it counts to leave
// a seam.
#pragma once

#include <vector>

#include "deblur/final_stage.h"

namespace kestrel {

// Pictures with more pixels than this are deconvolved in tiles.
constexpr long long kTiledAbovePixels = 4'000'000;
// The side of a tile's core, before it is extended.
constexpr int kTileCore = 1024;

// One direction of a tile: its core [coreBegin, coreEnd) and the samples
// [begin, end) it deconvolves, within [0, length).
struct TileSpan {
  int coreBegin = 0;
  int coreEnd = 0;
  int begin = 0;
  int end = 0;
};

// Cuts [0, length) into cores of about core samples (at least one), each
// extended by reach on both sides and clipped to the picture.
std::vector<TileSpan> tileSpans(int length, int core, int reach);

// Weight of sample x in a tile along one direction: 1 in the core, a linear
// ramp over the band of halfBand samples either side of a core edge that
// is shared with a neighbour (none at the picture's own edges).
double blendWeight(int x, const TileSpan& span, int halfBand, int length);

// The margin and the half band used for a kernel of kheight x kwidth.
int tileMargin(int kheight, int kwidth);
int tileHalfBand(int kheight, int kwidth);

// deconvolvePicture done tile by tile, cores of tileCore samples a side;
// the same arguments and result.
bool deconvolveInTiles(const double* input, double* output, int height, int width, int channels,
                       const double* kernel, int kheight, int kwidth, double wtdeconv,
                       int deringingWeight, int denoise, const DeblurProgressCallback& progress,
                       int tileCore = kTileCore);

// deconvolvePicture for a picture of up to kTiledAbovePixels pixels,
// deconvolveInTiles for a larger one.
bool deconvolveAnySize(const double* input, double* output, int height, int width, int channels,
                       const double* kernel, int kheight, int kwidth, double wtdeconv,
                       int deringingWeight, int denoise, const DeblurProgressCallback& progress);

}  // namespace kestrel
