// One line on standard error, rewritten in place, that tells what a long run
// is doing. Disabled (silent) when standard error is not a terminal, so that
// logs and pipes see only the ordinary messages.
#pragma once

#include <chrono>
#include <string>

#include "deblur/multiscale.h"

namespace kestrel {

// The text shown for one stage, e.g.
// "kernel estimation level 2 of 6, iteration 3 of 10 [12 s]".
std::string describeProgress(const DeblurProgress& progress, double elapsedSeconds);

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled);

  // A callback for the driver; empty when the line is disabled.
  DeblurProgressCallback callback();
  // Erases the line so that the next message starts on a clean line.
  void clear();

 private:
  void show(const DeblurProgress& progress);

  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace kestrel
