// BMP pictures, read and written without a library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/picture.h"

namespace kestrel {

// True when the bytes begin with "BM".
bool isBmp(const std::uint8_t* data, std::size_t size);

// Decodes uncompressed BMPs of 1, 4, 8 (palette), 16, 24 and 32 bits per
// pixel, bottom-up or top-down, with the core, info and v2 to v5 headers;
// 16 and 32-bit pictures may carry colour masks. A non-zero alpha mask
// counts as alpha; the fourth byte of a plain 32-bit pixel does not.
// The palette is what lies between the headers and the pixel data, up to
// its announced count. Run-length and embedded JPEG/PNG pictures are
// refused, as is a palette index beyond the palette. Every size and offset
// is checked against the file's length. On failure returns false, sets reason (a phrase without the
// file name) and leaves picture unchanged.
bool decodeBmp(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
               Picture& picture, std::string& reason);

// Encodes the picture as an uncompressed 24-bit bottom-up BMP.
bool encodeBmp(const Picture& picture, std::vector<std::uint8_t>& file, std::string& reason);

}  // namespace kestrel
