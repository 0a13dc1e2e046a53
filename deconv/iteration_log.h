// A record of the iterations a deconvolution ran, for callers that want to
// see its schedule (tests, diagnostics). Passing no log costs nothing.
#pragma once

#include <vector>

namespace kestrel {

// One gradient step followed by one image step.
struct IterationRecord {
  int solve = 0;           // 0: the solve with weight lambda; 1: the deringing solve
  int outer = 0;           // round of the data threshold t (L1 data term), else 0
  double beta = 0.0;       // gradient penalty
  double threshold = 0.0;  // shrinkage threshold of the gradients (0 for the half power)
  double weight = 0.0;     // weight of the gradient coupling in the image step
};

using IterationLog = std::vector<IterationRecord>;

}  // namespace kestrel
