// PNG pictures through libpng.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/picture.h"

namespace kestrel {

// True when the bytes begin with the PNG signature.
bool isPng(const std::uint8_t* data, std::size_t size);

// Decodes every PNG colour type and depth, interlaced or not; 16-bit
// channels are kept in deep beside their nearest 8-bit values, alpha and transparency are
// reported but not applied; the iCCP and eXIf chunks that precede the
// pixels are kept. On failure returns false and sets reason (a phrase
// without the file name) and leaves picture unchanged.
bool decodePng(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
               Picture& picture, std::string& reason);

// Encodes the picture as a non-interlaced RGB PNG into file, of 16 bits a
// channel when deep is set and 8 otherwise, with its
// colour profile (left out when libpng finds it malformed or not RGB) and
// Exif block.
bool encodePng(const Picture& picture, std::vector<std::uint8_t>& file, std::string& reason);

}  // namespace kestrel
