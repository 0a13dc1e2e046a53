#include "app/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kestrel {
namespace {

constexpr int kBarCells = 16;
// Below this share done, or this many seconds, the time left is a guess.
constexpr double kLeastShareForEstimate = 0.03;
constexpr double kLeastSecondsForEstimate = 1.0;
constexpr int kDefaultColumns = 80;

std::string seconds(double value) { return std::to_string(std::lround(value)) + " s"; }

std::string stageText(const DeblurProgress& progress) {
  const auto levelAndIteration = [&] {
    return "level " + std::to_string(progress.level) + "/" + std::to_string(progress.levels) +
           ", iteration " + std::to_string(progress.iteration) + "/" +
           std::to_string(progress.iterations);
  };
  switch (progress.stage) {
    case DeblurProgress::Stage::ConsoleMessage:
      return "";
    case DeblurProgress::Stage::SizeMeasurement:
      return "measuring the kernel size, " + levelAndIteration();
    case DeblurProgress::Stage::KernelEstimation:
      return "estimating the kernel, " + levelAndIteration();
    case DeblurProgress::Stage::Padding:
      return "padding";
    case DeblurProgress::Stage::Deconvolution:
      return "deconvolving plane " + std::to_string(progress.plane) + "/" +
             std::to_string(progress.planes);
  }
  return "";
}

int terminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

}  // namespace

StageWeights blindStageWeights(bool sparse, bool measuresKernelSize) {
  StageWeights weights;
  if (sparse) {
    weights.kernelEstimation = 8.3;
    weights.padding = 2.0;
    weights.deconvolution = 1.9;
  } else {
    weights.kernelEstimation = 1.8;
    weights.padding = 1.5;
    weights.deconvolution = 1.3;
  }
  // Measuring takes about as long as the sparse estimate at the size found.
  if (measuresKernelSize) weights.sizeMeasurement = 8.3;
  return weights;
}

double shareDone(const DeblurProgress& progress, const StageWeights& weights) {
  const double stages[] = {weights.sizeMeasurement, weights.kernelEstimation, weights.padding,
                           weights.deconvolution};
  int index = 0;
  switch (progress.stage) {
    case DeblurProgress::Stage::ConsoleMessage:
    case DeblurProgress::Stage::SizeMeasurement:
      index = 0;
      break;
    case DeblurProgress::Stage::KernelEstimation:
      index = 1;
      break;
    case DeblurProgress::Stage::Padding:
      index = 2;
      break;
    case DeblurProgress::Stage::Deconvolution:
      index = 3;
      break;
  }
  double total = 0.0;
  double before = 0.0;
  for (int i = 0; i < 4; ++i) {
    total += stages[i];
    if (i < index) before += stages[i];
  }
  if (!(total > 0.0)) return 0.0;
  return std::clamp((before + stages[index] * std::clamp(progress.done, 0.0, 1.0)) / total, 0.0,
                    1.0);
}

std::string describeProgress(const DeblurProgress& progress, double share,
                             double elapsedSeconds, int columns) {
  const int filled = static_cast<int>(share * kBarCells);
  std::string text = "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') +
                     "] " + std::to_string(static_cast<int>(share * 100.0)) + "% " +
                     seconds(elapsedSeconds);
  if (share >= kLeastShareForEstimate && elapsedSeconds >= kLeastSecondsForEstimate) {
    text += ", " + seconds(elapsedSeconds * (1.0 - share) / share) + " left";
  }
  text += ": " + stageText(progress);
  // A line longer than the terminal would wrap, and the next redraw would
  // start on the wrapped part.
  const std::size_t limit = static_cast<std::size_t>(std::max(1, columns - 1));
  if (text.size() > limit) text.resize(limit);
  return text;
}

ProgressLine::ProgressLine(bool enabled, StageWeights weights)
    : enabled_(enabled), weights_(weights), start_(std::chrono::steady_clock::now()) {}

DeblurProgressCallback ProgressLine::callback() {
  return [this](const DeblurProgress& progress) { show(progress); };
}

void ProgressLine::show(const DeblurProgress& progress) {
  if (progress.stage == DeblurProgress::Stage::ConsoleMessage) {
    clear();
    std::fputs(progress.message.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  if (!enabled_) return;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  const std::string line = describeProgress(progress, shareDone(progress, weights_),
                                            elapsed.count(), terminalColumns());
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::clear() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace kestrel
