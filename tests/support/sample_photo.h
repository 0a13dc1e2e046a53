// The bundled sample photograph and the kernel it was blurred with.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/image_io.h"

namespace kestrel::testing {

struct SamplePhoto {
  LoadedPlanes photo;
  LoadedPlanes trueKernel;
};

// Fails the calling test when either picture cannot be read.
inline SamplePhoto loadSamplePhoto() {
  SamplePhoto sample;
  std::string error;
  const std::string folder = std::string(KESTREL_SOURCE_DIR) + "/samples/";
  EXPECT_TRUE(loadImagePlanes(folder + "astronaut_blurred.png", sample.photo, error)) << error;
  EXPECT_TRUE(loadImagePlanes(folder + "astronaut_true_kernel.png", sample.trueKernel, error))
      << error;
  return sample;
}

}  // namespace kestrel::testing
