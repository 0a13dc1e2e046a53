// One line on standard error, rewritten in place, that tells what a long run
// is doing: a bar of the share of the run done, the stage, the time elapsed
// and the time left. Disabled (silent) when standard error is not a
// terminal, so that logs and pipes see only the ordinary messages, which
// go to standard output whether the line is shown or not.
#pragma once

#include <chrono>
#include <string>

#include "deblur/final_stage.h"

namespace kestrel {

// Relative time each stage of a run takes; only the ratios count. A stage
// the run does not have weighs 0.
struct StageWeights {
  double sizeMeasurement = 0.0;
  double kernelEstimation = 0.0;
  double padding = 0.0;
  double deconvolution = 0.0;
};

// Weights measured on colour photos of 1 to 2 megapixels with a 31 x 31
// kernel, for the blind command with the classic or the sparse estimator,
// with or without an automatic kernel size.
StageWeights blindStageWeights(bool sparse, bool measuresKernelSize);

// Share of the whole run done when progress is reported, 0 to 1.
double shareDone(const DeblurProgress& progress, const StageWeights& weights);

// The line shown, cut to fit columns characters, e.g. "[#####-----------]
// 35% 12 s, 22 s left: estimating the kernel, level 2/6, iteration 3/10".
// The time left (elapsed times the share to do over the share done) is shown
// once the run is far enough along for the ratio to mean something.
std::string describeProgress(const DeblurProgress& progress, double share,
                             double elapsedSeconds, int columns);

class ProgressLine {
 public:
  ProgressLine(bool enabled, StageWeights weights);

  // A callback for the driver: prints its messages on standard output and,
  // when enabled, redraws the line.
  DeblurProgressCallback callback();
  // Erases the line so that the next message starts on a clean line.
  void clear();

 private:
  void show(const DeblurProgress& progress);

  bool enabled_;
  StageWeights weights_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace kestrel
