// The lines a driver reports through its progress callback, in order.
#pragma once

#include <string>

#include "deblur/final_stage.h"

namespace kestrel::testing {

struct MessageLog {
  std::string text;

  DeblurProgressCallback callback() {
    return [this](const DeblurProgress& progress) {
      if (progress.stage == DeblurProgress::Stage::ConsoleMessage) text += progress.message;
    };
  }
};

}  // namespace kestrel::testing
