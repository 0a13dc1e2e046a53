// Resampling of one plane with a separable triangle kernel, widened when the
// plane shrinks so that each output sample averages the input samples that
// fall into its cell. Samples beyond an edge repeat the edge sample.
//
// Planes are row-major, top row first. Source and destination are distinct
// buffers; the caller allocates the destination.
#pragma once

namespace kestrel {

// Output size: ceil(scale * rows) x ceil(scale * cols). scale must be > 0.
void resampleByScale(const double* source, double* destination, int rows, int cols,
                     double scale);

// Resamples a rows x cols plane to outRows x outCols (all at least 1).
void resampleToSize(const double* source, double* destination, int rows, int cols,
                    int outRows, int outCols);

}  // namespace kestrel
