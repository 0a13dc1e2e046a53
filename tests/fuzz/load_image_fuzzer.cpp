// Feeds arbitrary bytes to the picture reader. Any crash, sanitizer report
// or broken promise of the interface (aborted on below) is a finding.
#include <cstdlib>

#include "app/image_io.h"

namespace {

// Lower than the program's limit, so that one input cannot ask for
// gigabytes, which libFuzzer would report as running out of memory; the
// check that enforces it is the same.
constexpr std::uint64_t kFuzzMaxPixels = std::uint64_t{1} << 22;

const std::string kName = "input";

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  // The size picks the codec tried first and the row order, so that every
  // fallback order is exercised without reserving input bytes.
  const auto first = static_cast<ImageFormat>(size % 4);
  const RowOrder order = (size / 4) % 2 ? RowOrder::BottomUp : RowOrder::TopDown;
  LoadedPlanes image;
  std::string error;
  if (decodeImagePlanes(data, size, kName, first, kFuzzMaxPixels, image, error, order)) {
    check(image.width > 0 && image.height > 0);
    check(image.channels == 1 || image.channels == 3);
    check(static_cast<std::uint64_t>(image.width) * image.height <= kFuzzMaxPixels);
    check(image.planes.size() ==
          static_cast<std::size_t>(image.width) * image.height * image.channels);
    for (double v : image.planes) check(v >= 0.0 && v <= 1.0);
  } else {
    const std::string prefix = "cannot read '" + kName + "': ";
    check(error.size() > prefix.size() && error.compare(0, prefix.size(), prefix) == 0);
    check(image.planes.empty());
  }
  return 0;
}
