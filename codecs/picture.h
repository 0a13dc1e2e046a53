// The decoded picture that every codec produces and consumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// width x height pixels of three bytes (red, green, blue), rows top first,
// no padding between rows. The other fields describe the file the picture
// came from; encoders ignore them and always write 8-bit RGB, with the
// metadata where the format holds it.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
  // Bits per pixel as stored, counting 16-bit channels as 8 bits.
  int bitsPerPixel = 24;
  // False for palette and grey pictures, whose pixels have no colour of
  // their own beyond one index or one level.
  bool trueColour = true;
  // An alpha channel, or transparency in a palette. A single transparent
  // colour key on a true-colour PNG is not counted as alpha.
  bool hasAlpha = false;
  // The samples at 16 bits, laid out as rgb, when the file holds 16 bits a
  // channel (rgb then holds the nearest bytes); empty otherwise. The PNG
  // encoder writes 16 bits when it is set.
  std::vector<std::uint16_t> deep;
  // The camera's Exif block (from its TIFF header on, as PNG's eXIf chunk
  // holds it) and the colour profile; empty when the file has none.
  std::vector<std::uint8_t> exif;
  std::vector<std::uint8_t> iccProfile;
};

// Checks width x height against maxPixels before anything is allocated for
// the pixels. On refusal sets reason, e.g. "70000x70000 pixels exceeds the
// limit of 268435456".
bool pictureSizeAllowed(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels,
                        std::string& reason);

// Which pictures a decoder takes, judged from the header before anything is
// allocated for the pixels: at most maxPixels pixels and, when set, only
// those that accepts lets through. accepts sees the picture with every field
// filled in but rgb still empty, and sets reason when it refuses.
struct PictureLimit {
  // A bare pixel count is the limit most callers need.
  PictureLimit(std::uint64_t maxPixels) : maxPixels(maxPixels) {}

  std::uint64_t maxPixels;
  std::function<bool(const Picture& header, std::string& reason)> accepts;
};

// The header check of limit.accepts; true when it is not set.
bool headerAccepted(const Picture& header, const PictureLimit& limit, std::string& reason);

// Appends size bytes to out; false when memory runs out. Never throws, so
// library callbacks may call it.
bool appendBytes(std::vector<std::uint8_t>& out, const std::uint8_t* bytes,
                 std::size_t size) noexcept;

}  // namespace kestrel
