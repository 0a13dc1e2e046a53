// How much additive white noise a picture carries, measured on the picture
// alone.
//
// The residual of the 3 x 3 mask [1 -2 1; -2 4 -2; 1 -2 1] is 0 on every
// sum of a function of the row and a function of the column, so smooth shading
// hardly reaches it, while white noise of standard deviation sigma gives a
// residual of standard deviation 6 sigma. The estimate is the median absolute
// residual over the pixels that remain after two exclusions, scaled to a
// standard deviation as for Gaussian noise:
//  - pixels whose 3 x 3 neighbourhood holds a sample at or below 0.5 / 255
//    or at or above 1 - 0.5 / 255 (half an 8-bit step from either end), or
//    one that is not a number: clipping has removed the noise there;
//  - all but the three tenths of the remaining pixels with the smallest
//    Sobel gradient (and those tied with the last of them): edges and
//    texture would add to the residual.
//
// The result depends only on the samples, not on the number of threads.
#pragma once

namespace kestrel {

// Standard deviation of additive white noise in one plane of rows x cols
// doubles, row-major, top row first, samples nominally in 0..1. Returns 0
// when the plane is smaller than 3 x 3 or no pixel is left to measure.
double estimateNoiseSigma(const double* plane, int rows, int cols);

// The same measure on the grey picture 0.2989 R + 0.587 G + 0.114 B (no gamma)
// of channels planes stored one after another, each height rows of width
// doubles, row-major, top row first; channels is 1 (the plane itself) or 3
// (red, green, blue). The result is the
// noise of that grey picture: noise of sigma independent in each colour gives
// about 0.67 sigma there. Returns 0 as estimateNoiseSigma does.
double estimatePictureNoise(const double* planes, int height, int width, int channels);

}  // namespace kestrel
