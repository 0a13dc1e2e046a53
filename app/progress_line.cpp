#include "app/progress_line.h"

#include <cstdio>

namespace kestrel {

std::string describeProgress(const DeblurProgress& progress, double elapsedSeconds) {
  std::string text;
  switch (progress.stage) {
    case DeblurProgress::Stage::ConsoleMessage:
      break;
    case DeblurProgress::Stage::KernelEstimation:
      text = "kernel estimation level " + std::to_string(progress.level) + " of " +
             std::to_string(progress.levels) + ", iteration " +
             std::to_string(progress.iteration) + " of " + std::to_string(progress.iterations);
      break;
    case DeblurProgress::Stage::Padding:
      text = "padding";
      break;
    case DeblurProgress::Stage::Deconvolution:
      text = "deconvolution plane " + std::to_string(progress.plane) + " of " +
             std::to_string(progress.planes);
      break;
  }
  return text + " [" + std::to_string(static_cast<long>(elapsedSeconds)) + " s]";
}

ProgressLine::ProgressLine(bool enabled)
    : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

DeblurProgressCallback ProgressLine::callback() {
  if (!enabled_) return {};
  return [this](const DeblurProgress& progress) { show(progress); };
}

void ProgressLine::show(const DeblurProgress& progress) {
  if (progress.stage == DeblurProgress::Stage::ConsoleMessage) {
    clear();
    return;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  std::fprintf(stderr, "\r%s\033[K", describeProgress(progress, elapsed.count()).c_str());
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
