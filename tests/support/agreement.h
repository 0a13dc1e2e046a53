// How far an optimised routine's result lies from its straightforward
// formulation's.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace kestrel::testing {

// Largest difference relative to the largest magnitude of the reference
// (the plain largest difference when the reference is all zeros).
inline double relativeDifference(const std::vector<double>& value,
                                 const std::vector<double>& reference) {
  double scale = 0.0, difference = 0.0;
  for (std::size_t i = 0; i < reference.size(); ++i) {
    scale = std::max(scale, std::fabs(reference[i]));
    difference = std::max(difference, std::fabs(value[i] - reference[i]));
  }
  return scale > 0.0 ? difference / scale : difference;
}

}  // namespace kestrel::testing
