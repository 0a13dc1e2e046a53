// Constructed truths for known-answer tests: a sharp synthetic picture with
// edges at many orientations, a camera-shake kernel, blurring, and the
// measures used to compare a result with the truth.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
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
  double best = -1.0;
  for (int dy = -reach; dy <= reach; ++dy) {
    for (int dx = -reach; dx <= reach; ++dx) {
      double sum = 0.0;
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
          const int sr = r + dy;
          const int sc = c + dx;
          if (sr < 0 || sr >= rows || sc < 0 || sc >= cols) continue;
          sum += a[static_cast<std::size_t>(r) * cols + c] *
                 b[static_cast<std::size_t>(sr) * cols + sc];
        }
      }
      best = std::max(best, sum / std::sqrt(normA * normB));
    }
  }
  return best;
}

}  // namespace kestrel::testing
