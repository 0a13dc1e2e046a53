// Constructed truths for known-answer tests: a sharp synthetic picture with
// edges at many orientations, a camera-shake kernel, blurring, and the
// measures used to compare a result with the truth.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

namespace kestrel::testing {

// rows x cols picture in [0.1, 0.9]: a few discs, rectangles and a rotated
// bar on a gentle ramp, so that edges run in every direction.
inline std::vector<double> sharpScene(int rows, int cols) {
  std::vector<double> picture(static_cast<std::size_t>(rows) * cols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double y = static_cast<double>(r) / rows;
      const double x = static_cast<double>(c) / cols;
      double v = 0.25 + 0.1 * x;
      if (std::hypot(x - 0.3, y - 0.35) < 0.17) v = 0.85;
      if (std::hypot(x - 0.72, y - 0.7) < 0.12) v = 0.15;
      if (x > 0.55 && x < 0.85 && y > 0.12 && y < 0.38) v = 0.6;
      if (x > 0.1 && x < 0.42 && y > 0.66 && y < 0.88) v = 0.45;
      const double along = (x - 0.5) * 0.8 + (y - 0.5) * 0.6;
      const double across = -(x - 0.5) * 0.6 + (y - 0.5) * 0.8;
      if (std::fabs(across) < 0.03 && std::fabs(along) < 0.3) v = 0.9;
      picture[static_cast<std::size_t>(r) * cols + c] = v;
    }
  }
  return picture;
}

// rows x cols dead-leaves picture in [0.1, 0.9]: seeded discs of radii from
// 2 to 40 pixels, more of the small ones (density falling as 1 / r^3, as in
// natural pictures), each hiding those below, so that edges of every length,
// curvature and contrast crowd the picture as they do a photograph.
inline std::vector<double> deadLeavesScene(int rows, int cols, unsigned seed) {
  std::vector<double> picture(static_cast<std::size_t>(rows) * cols, -1.0);
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  constexpr double kSmallest = 5.0;
  constexpr double kLargest = 80.0;
  std::size_t uncovered = picture.size();
  // Leaves fall on top of earlier ones, so paint from the top leaf down and
  // leave what is already covered.
  for (int leaf = 0; leaf < 20000 && uncovered > 0; ++leaf) {
    // Inverse of the cumulative distribution of r^-3 between the bounds.
    const double u = unit(random);
    const double radius = 1.0 / std::sqrt((1.0 - u) / (kSmallest * kSmallest) +
                                          u / (kLargest * kLargest));
    const double cy = unit(random) * rows;
    const double cx = unit(random) * cols;
    const double grey = 0.1 + 0.8 * unit(random);
    const int top = std::max(0, static_cast<int>(cy - radius));
    const int bottom = std::min(rows - 1, static_cast<int>(cy + radius));
    const int left = std::max(0, static_cast<int>(cx - radius));
    const int right = std::min(cols - 1, static_cast<int>(cx + radius));
    for (int r = top; r <= bottom; ++r) {
      for (int c = left; c <= right; ++c) {
        double& v = picture[static_cast<std::size_t>(r) * cols + c];
        if (v >= 0.0 || std::hypot(r + 0.5 - cy, c + 0.5 - cx) > radius) continue;
        v = grey;
        --uncovered;
      }
    }
  }
  for (double& v : picture) {
    if (v < 0.0) v = 0.5;
  }
  return picture;
}

// A size x size kernel along an L-shaped, slightly curved path: not
// symmetric, so a flipped or shifted estimate is told apart.
inline std::vector<double> shakeKernel(int size) {
  std::vector<double> kernel(static_cast<std::size_t>(size) * size, 0.0);
  const int centre = size / 2;
  const int reach = std::max(1, centre - 1);
  for (int step = -reach; step <= reach; ++step) {
    const int r = centre - reach / 2;
    kernel[static_cast<std::size_t>(r) * size + centre + step] += 1.0;
  }
  for (int step = 1; step <= reach; ++step) {
    const int r = centre - reach / 2 + step;
    const int c = centre + reach - step / 3;
    kernel[static_cast<std::size_t>(r) * size + c] += 1.0 - 0.5 * step / reach;
  }
  double sum = 0.0;
  for (double v : kernel) sum += v;
  for (double& v : kernel) v /= sum;
  return kernel;
}

// A size x size kernel shaped like recorded hand shake (size at least 21):
// the camera dwells at two places, bright blobs holding 0.4 and 0.2 of the
// mass, and darts between them along a curved stroke with a small loop, a
// tenth as bright as the larger blob's peak or less. Its stroke, the cells the dart passes through outside the
// blobs, is marked in `stroke` when given.
inline std::vector<double> dwellKernel(int size, std::vector<bool>* stroke = nullptr) {
  const std::size_t cells = static_cast<std::size_t>(size) * size;
  std::vector<double> kernel(cells, 0.0);
  const double pi = std::acos(-1.0);
  const double reach = 0.5 * size - 3.0;
  // The dart: from (-reach, -reach/2) to (reach, reach/2), bowed, with a loop
  // of radius reach/5 two thirds of the way.
  const auto dart = [&](double t, double& y, double& x) {
    x = reach * (2.0 * t - 1.0);
    y = 0.5 * reach * (2.0 * t - 1.0) - 0.35 * reach * std::sin(pi * t);
    const double loop = std::clamp((t - 0.55) / 0.2, 0.0, 1.0);
    if (loop > 0.0 && loop < 1.0) {
      const double a = 2.0 * pi * loop;
      x += 0.2 * reach * std::sin(a);
      y -= 0.2 * reach * (1.0 - std::cos(a));
    }
  };
  const int samples = 40 * size;
  const double centre = 0.5 * (size - 1);
  std::vector<double> dartMass(cells, 0.0);
  for (int k = 0; k <= samples; ++k) {
    double y = 0.0, x = 0.0;
    dart(static_cast<double>(k) / samples, y, x);
    const int r = static_cast<int>(std::lround(centre + y));
    const int c = static_cast<int>(std::lround(centre + x));
    dartMass[static_cast<std::size_t>(r) * size + c] += 1.0;
  }
  double dartTotal = 0.0;
  for (double v : dartMass) dartTotal += v;
  // The blobs: Gaussian with a standard deviation of 0.9 pixels, at the
  // dart's ends.
  constexpr double kBlobMass[2] = {0.4, 0.2};
  std::vector<bool> inBlob(cells, false);
  for (int end = 0; end < 2; ++end) {
    double ey = 0.0, ex = 0.0;
    dart(end, ey, ex);
    for (int r = 0; r < size; ++r) {
      for (int c = 0; c < size; ++c) {
        const double d2 = std::pow(r - centre - ey, 2) + std::pow(c - centre - ex, 2);
        const std::size_t i = static_cast<std::size_t>(r) * size + c;
        kernel[i] += kBlobMass[end] * std::exp(-d2 / (2.0 * 0.81)) / (2.0 * pi * 0.81);
        if (d2 <= 9.0) inBlob[i] = true;
      }
    }
  }
  for (std::size_t i = 0; i < cells; ++i) kernel[i] += 0.4 * dartMass[i] / dartTotal;
  if (stroke) {
    stroke->assign(cells, false);
    for (std::size_t i = 0; i < cells; ++i) (*stroke)[i] = dartMass[i] > 0.0 && !inBlob[i];
  }
  double sum = 0.0;
  for (double v : kernel) sum += v;
  for (double& v : kernel) v /= sum;
  return kernel;
}

// Circular convolution of a rows x cols plane with a kernel centred on its
// middle element.
inline std::vector<double> circularBlur(const std::vector<double>& plane, int rows, int cols,
                                        const std::vector<double>& kernel, int kernelRows,
                                        int kernelCols) {
  std::vector<double> out(plane.size(), 0.0);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      double sum = 0.0;
      for (int a = 0; a < kernelRows; ++a) {
        for (int b = 0; b < kernelCols; ++b) {
          const int sr = ((r - (a - kernelRows / 2)) % rows + rows) % rows;
          const int sc = ((c - (b - kernelCols / 2)) % cols + cols) % cols;
          sum += kernel[static_cast<std::size_t>(a) * kernelCols + b] *
                 plane[static_cast<std::size_t>(sr) * cols + sc];
        }
      }
      out[static_cast<std::size_t>(r) * cols + c] = sum;
    }
  }
  return out;
}

// The part of the convolution of a rows x cols plane with a kernel that the
// plane's borders do not reach: (rows - kernelRows + 1) x (cols -
// kernelCols + 1) samples, sample (r, c) centred on plane sample
// (r + kernelRows / 2, c + kernelCols / 2). Nothing wraps around.
inline std::vector<double> validBlur(const std::vector<double>& plane, int rows, int cols,
                                     const std::vector<double>& kernel, int kernelRows,
                                     int kernelCols) {
  const int outRows = rows - kernelRows + 1;
  const int outCols = cols - kernelCols + 1;
  std::vector<double> out(static_cast<std::size_t>(outRows) * outCols, 0.0);
  for (int r = 0; r < outRows; ++r) {
    for (int c = 0; c < outCols; ++c) {
      double sum = 0.0;
      for (int a = 0; a < kernelRows; ++a) {
        for (int b = 0; b < kernelCols; ++b) {
          sum += kernel[static_cast<std::size_t>(a) * kernelCols + b] *
                 plane[static_cast<std::size_t>(r + kernelRows - 1 - a) * cols +
                       (c + kernelCols - 1 - b)];
        }
      }
      out[static_cast<std::size_t>(r) * outCols + c] = sum;
    }
  }
  return out;
}

inline void addNoise(std::vector<double>& plane, double sigma, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (double& v : plane) v = std::clamp(v + noise(random), 0.0, 1.0);
}

// PSNR (peak 1) over the window that leaves `margin` samples out at every
// border.
inline double psnr(const std::vector<double>& a, const std::vector<double>& b, int rows, int cols,
                   int margin) {
  double squared = 0.0;
  int count = 0;
  for (int r = margin; r < rows - margin; ++r) {
    for (int c = margin; c < cols - margin; ++c) {
      const double d = a[static_cast<std::size_t>(r) * cols + c] -
                       b[static_cast<std::size_t>(r) * cols + c];
      squared += d * d;
      ++count;
    }
  }
  return 10.0 * std::log10(count / squared);
}

// The best PSNR of result against truth over integer shifts of up to
// `reach` samples each way: a blind estimate may place the picture a few
// pixels off, as the kernel is only known up to a shift.
inline double alignedPsnr(const std::vector<double>& result, const std::vector<double>& truth,
                          int rows, int cols, int margin, int reach) {
  double best = -1e300;
  for (int dy = -reach; dy <= reach; ++dy) {
    for (int dx = -reach; dx <= reach; ++dx) {
      double squared = 0.0;
      int count = 0;
      for (int r = margin; r < rows - margin; ++r) {
        for (int c = margin; c < cols - margin; ++c) {
          const double d = result[static_cast<std::size_t>(r + dy) * cols + c + dx] -
                           truth[static_cast<std::size_t>(r) * cols + c];
          squared += d * d;
          ++count;
        }
      }
      best = std::max(best, 10.0 * std::log10(count / squared));
    }
  }
  return best;
}

// Correlation of two kernels of the same size (rows x cols) with b moved by
// (dy, dx): the sum of a[r][c] b[r + dy][c + dx] where both lie on the grid.
inline double shiftedCorrelation(const std::vector<double>& a, const std::vector<double>& b,
                                 int rows, int cols, int dy, int dx) {
  double sum = 0.0;
  for (int r = std::max(0, -dy); r < std::min(rows, rows - dy); ++r) {
    for (int c = std::max(0, -dx); c < std::min(cols, cols - dx); ++c) {
      sum += a[static_cast<std::size_t>(r) * cols + c] *
             b[static_cast<std::size_t>(r + dy) * cols + c + dx];
    }
  }
  return sum;
}

// The shift (dy, dx) of up to `reach` samples each way at which the two
// kernels correlate best.
inline std::pair<int, int> bestKernelShift(const std::vector<double>& a,
                                           const std::vector<double>& b, int rows, int cols,
                                           int reach) {
  double best = -1.0;
  std::pair<int, int> shift{0, 0};
  for (int dy = -reach; dy <= reach; ++dy) {
    for (int dx = -reach; dx <= reach; ++dx) {
      const double sum = shiftedCorrelation(a, b, rows, cols, dy, dx);
      if (sum > best) {
        best = sum;
        shift = {dy, dx};
      }
    }
  }
  return shift;
}

// Normalised cross-correlation of two kernels of the same size, maximised
// over shifts of up to `reach` samples each way (an estimate may sit a pixel
// off centre without being wrong).
inline double kernelSimilarity(const std::vector<double>& a, const std::vector<double>& b,
                               int rows, int cols, int reach) {
  double normA = 0.0;
  double normB = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    normA += a[i] * a[i];
    normB += b[i] * b[i];
  }
  const auto [dy, dx] = bestKernelShift(a, b, rows, cols, reach);
  return shiftedCorrelation(a, b, rows, cols, dy, dx) / std::sqrt(normA * normB);
}

}  // namespace kestrel::testing
