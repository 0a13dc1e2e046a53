#include "fourier/filter2d.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "parallel/parallel.h"

namespace kestrel {
namespace {

// Rows handed to one thread at a time; small planes stay on one thread.
constexpr int kRowGrain = 16;

}  // namespace

int filter2D(FilterParams& params) {
  if (std::fabs(params.scale) < 1e-10 || std::fabs(params.scale) > 1e10) params.scale = 1.0;

  const int height = params.height;
  const int width = params.width;
  const int kh = params.kernelHeight;
  const int kw = params.kernelWidth;
  const int cy = (kh - 1) / 2;
  const int cx = (kw - 1) / 2;
  const double* in = params.input;
  const bool replicate = params.boundaryMode == kBoundaryReplicate;

  // Weights in the order they meet the input window, so both filter modes
  // share one loop.
  std::vector<double> weights(static_cast<std::size_t>(kh) * kw);
  for (int a = 0; a < kh; ++a) {
    for (int b = 0; b < kw; ++b) {
      weights[static_cast<std::size_t>(a) * kw + b] =
          params.filterMode == kFilterConvolution ? params.kernel[(kh - 1 - a) * kw + (kw - 1 - b)]
                                                  : params.kernel[a * kw + b];
    }
  }

  const std::size_t cells = static_cast<std::size_t>(height) * width;
  std::vector<double> scratch;
  double* out = params.output;
  if (params.output == params.input) {
    scratch.assign(cells, 0.0);
    out = scratch.data();
  }

  // Rows are independent. Inside a row, the columns whose window lies wholly
  // within the plane are summed together, one kernel tap at a time over the
  // whole run of columns: every output still adds the same terms in the same
  // order, but the loop over columns vectorises.
  const int innerFirst = std::min(cx, width);
  const int innerLast = std::max(innerFirst, width - (kw - 1 - cx));
  const auto borderSum = [&](int i, int j) {
    double sum = 0.0;
    for (int a = 0; a < kh; ++a) {
      int r = i - cy + a;
      if (r < 0 || r >= height) {
        if (!replicate) continue;
        r = std::clamp(r, 0, height - 1);
      }
      const double* row = in + static_cast<std::size_t>(r) * width;
      const double* w = weights.data() + static_cast<std::size_t>(a) * kw;
      for (int b = 0; b < kw; ++b) {
        int c = j - cx + b;
        if (c < 0 || c >= width) {
          if (!replicate) continue;
          c = std::clamp(c, 0, width - 1);
        }
        sum += w[b] * row[c];
      }
    }
    return params.scale * sum;
  };
  parallelFor(0, height, kRowGrain, [&](int first, int last) {
    std::vector<double> run(static_cast<std::size_t>(std::max(innerLast - innerFirst, 0)));
    for (int i = first; i < last; ++i) {
      double* outRow = out + static_cast<std::size_t>(i) * width;
      const bool rowsInside = i - cy >= 0 && i - cy + kh <= height;
      if (!rowsInside || run.empty()) {
        for (int j = 0; j < width; ++j) outRow[j] = borderSum(i, j);
        continue;
      }
      for (int j = 0; j < innerFirst; ++j) outRow[j] = borderSum(i, j);
      for (int j = innerLast; j < width; ++j) outRow[j] = borderSum(i, j);
      const int length = innerLast - innerFirst;
      double* sum = run.data();
      std::fill(sum, sum + length, 0.0);
      for (int a = 0; a < kh; ++a) {
        const double* row = in + static_cast<std::size_t>(i - cy + a) * width + (innerFirst - cx);
        for (int b = 0; b < kw; ++b) {
          const double w = weights[static_cast<std::size_t>(a) * kw + b];
          const double* source = row + b;
          for (int j = 0; j < length; ++j) sum[j] += w * source[j];
        }
      }
      double* target = outRow + innerFirst;
      for (int j = 0; j < length; ++j) target[j] = params.scale * sum[j];
    }
  });

  if (!scratch.empty()) std::copy(scratch.begin(), scratch.end(), params.output);
  return 0;
}

}  // namespace kestrel
