// Shock filter: sharpens smooth transitions by moving every pixel against
// the sign of the second derivative along the gradient, by a minmod estimate
// of the gradient length. An explicit scheme with replicated borders.
//
// Planes are width x height doubles, row-major, top row first; pixel (x, y)
// is element y * width + x. Input and output are distinct buffers of the
// same size, allocated by the caller.
#pragma once

namespace kestrel {

// Copies input into output, then runs `iterations` steps on output (none
// when iterations <= 0). Each step, from the values at its start:
// I <- I + step * (-(M * sign(G)) / scale), with M the minmod gradient length
// and G = Ixx Ix^2 + 2 Ixy Ix Iy + Iyy Iy^2. scale must not be 0.
// A missing neighbour equals the pixel itself, so a plane only one pixel
// wide (or high) gets no derivative along that axis.
void shockFilter(const double* input, double* output, int width, int height, int iterations,
                 double step, double scale);

// The same filter on `planes` planes stored one after another, each on its
// own; within every iteration the planes are processed in order.
void shockFilterPlanes(const double* input, double* output, int width, int height, int planes,
                       int iterations, double step, double scale);

}  // namespace kestrel
