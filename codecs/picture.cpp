#include "codecs/picture.h"

namespace kestrel {

bool pictureSizeAllowed(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels,
                        std::string& reason) {
  // Either side alone may already exceed the limit, and the product of two
  // 32-bit sides always fits in 64 bits.
  if (width > maxPixels || height > maxPixels || width * height > maxPixels) {
    reason = std::to_string(width) + "x" + std::to_string(height) +
             " pixels exceeds the limit of " + std::to_string(maxPixels);
    return false;
  }
  return true;
}

bool headerAccepted(const Picture& header, const PictureLimit& limit, std::string& reason) {
  return !limit.accepts || limit.accepts(header, reason);
}

bool appendBytes(std::vector<std::uint8_t>& out, const std::uint8_t* bytes,
                 std::size_t size) noexcept {
  try {
    out.insert(out.end(), bytes, bytes + size);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace kestrel
