// Median filtering of one plane over a square window.
#pragma once

namespace kestrel {

// src and dst are height rows of width samples, row-major, top row first;
// dst may be the same plane as src. The window of sample (i, j) covers rows
// i - s/2 ... i + (s - s/2 - 1) and the same columns; samples outside the
// plane are left out, so windows shrink at the borders. Each output is the
// element at index n/2 of the n gathered samples in ascending order (the
// upper middle value when n is even). NaNs sort after every number.
// s must be at least 1.
void medianFilter(const double* src, double* dst, int width, int height, int s);

}  // namespace kestrel
