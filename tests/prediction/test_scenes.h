// Pictures and reference computations shared by the prediction tests.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace kestrel {
namespace testing {

// A 0.2 background with a bright rectangle, a disc and a diagonal band, a
// little noise, and a 3x3 box blur: edges in every orientation.
inline std::vector<double> blurredScene(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> noise(-0.02, 0.02);
  std::vector<double> sharp(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double v = 0.2;
      if (x >= width / 6 && x < width / 2 && y >= height / 5 && y < 2 * height / 3) v = 0.8;
      const double dx = x - 0.7 * width;
      const double dy = y - 0.6 * height;
      if (dx * dx + dy * dy < 0.04 * width * height) v = 0.6;
      if (x + y >= width && x + y < width + height / 6) v = 0.4;
      sharp[y * width + x] = v + noise(random);
    }
  }
  std::vector<double> blurred(sharp.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0.0;
      for (int a = -1; a <= 1; ++a)
        for (int b = -1; b <= 1; ++b)
          sum += sharp[std::clamp(y + a, 0, height - 1) * width + std::clamp(x + b, 0, width - 1)];
      blurred[y * width + x] = sum / 9.0;
    }
  }
  return blurred;
}

inline std::vector<double> uniformPlane(size_t count, double low, double high, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(low, high);
  std::vector<double> plane(count);
  for (double& v : plane) v = uniform(random);
  return plane;
}

// The k-th largest value by a full sort; the smallest when k exceeds the count.
inline double kthLargestBySort(std::vector<double> values, int k) {
  std::sort(values.begin(), values.end(), std::greater<double>());
  return values[std::min<size_t>(k, values.size()) - 1];
}

// The smallest over the non-empty bins of each bin's k-th largest value.
inline double smallestOverBins(const std::vector<double>& values, const std::vector<int>& bin,
                               int k) {
  std::array<std::vector<double>, 4> bins;
  for (size_t i = 0; i < values.size(); ++i) bins[bin[i]].push_back(values[i]);
  double smallest = INFINITY;
  for (const std::vector<double>& b : bins) {
    if (!b.empty()) smallest = std::min(smallest, kthLargestBySort(b, k));
  }
  return smallest;
}

}  // namespace testing
}  // namespace kestrel
