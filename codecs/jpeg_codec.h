// JPEG pictures through libjpeg.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/picture.h"

namespace kestrel {

constexpr int kJpegQuality = 90;

// True when the bytes begin with a JPEG start-of-image marker.
bool isJpeg(const std::uint8_t* data, std::size_t size);

// Decodes baseline, progressive and arithmetic-coded JPEGs in grey, YCbCr
// or RGB. CMYK and YCCK pictures are refused, and so is data that libjpeg
// reports as damaged (truncated, bad codes, broken scan sequence), since its
// repair would invent pixels. The first Exif block and the ICC profile are
// kept. On failure returns false, sets reason (a
// phrase without the file name) and leaves picture unchanged.
bool decodeJpeg(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
                Picture& picture, std::string& reason);

// Encodes the picture as a baseline JPEG at kJpegQuality without chroma
// subsampling, so that colour edges keep full resolution. An Exif block
// that fits one marker is written in place of the JFIF header; an ICC
// profile only when it describes RGB.
bool encodeJpeg(const Picture& picture, std::vector<std::uint8_t>& file, std::string& reason);

}  // namespace kestrel
