#include "codecs/bmp_codec.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

namespace kestrel {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kOs2HeaderSize = 64;

// Compression codes of the info header.
constexpr std::uint32_t kUncompressed = 0;
constexpr std::uint32_t kRle8 = 1;
constexpr std::uint32_t kRle4 = 2;
constexpr std::uint32_t kBitfields = 3;
constexpr std::uint32_t kEmbeddedJpeg = 4;
constexpr std::uint32_t kEmbeddedPng = 5;
constexpr std::uint32_t kAlphaBitfields = 6;

// 72 dots per inch, the customary resolution of a picture without one.
constexpr std::uint32_t kPixelsPerMetre = 2835;

std::uint32_t read16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }

std::uint32_t read32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void write16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void write32(std::uint8_t* p, std::uint32_t v) {
  write16(p, v);
  write16(p + 2, v >> 16);
}

// One colour field of a 16 or 32-bit pixel: a run of contiguous bits.
struct ColourField {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint64_t maximum = 0;

  // Scales the field to 0..255, rounding to nearest; a missing field reads 0.
  std::uint8_t byteOf(std::uint32_t pixel) const {
    if (mask == 0) return 0;
    const std::uint64_t value = (pixel & mask) >> shift;
    return static_cast<std::uint8_t>((value * 255 + maximum / 2) / maximum);
  }
};

bool makeField(std::uint32_t mask, ColourField& field) {
  field = ColourField{};
  if (mask == 0) return true;
  int shift = 0;
  while (!((mask >> shift) & 1)) ++shift;
  const std::uint64_t run = mask >> shift;
  if (run & (run + 1)) return false;
  field.mask = mask;
  field.shift = shift;
  field.maximum = run;
  return true;
}

// Everything the header says about where and how the pixels are stored,
// each size and offset already checked against the file.
struct BmpLayout {
  std::uint32_t width = 0;
  std::uint32_t rows = 0;
  bool topDown = false;
  int bitsPerPixel = 0;
  const std::uint8_t* palette = nullptr;
  std::uint32_t paletteCount = 0;
  std::size_t paletteEntry = 4;
  ColourField red, green, blue, alpha;
  const std::uint8_t* pixels = nullptr;
  std::size_t rowBytes = 0;
};

bool fail(std::string& reason, std::string text) {
  reason = std::move(text);
  return false;
}

bool readMasks(const std::uint8_t* data, std::size_t size, std::uint32_t headerSize,
               std::uint32_t compression, int bitsPerPixel, BmpLayout& layout,
               std::size_t& headersEnd, std::string& reason) {
  std::uint32_t masks[4] = {0, 0, 0, 0};
  if (compression == kUncompressed) {
    if (bitsPerPixel == 16) {
      masks[0] = 0x7C00;
      masks[1] = 0x03E0;
      masks[2] = 0x001F;
    } else {
      masks[0] = 0xFF0000;
      masks[1] = 0x00FF00;
      masks[2] = 0x0000FF;
    }
  } else {
    // Masks follow an info header: three of them, or four when alpha is
    // announced. Later headers hold them: the 52-byte one red, green and
    // blue, the larger ones alpha too.
    const std::size_t start = kFileHeaderSize + kInfoHeaderSize;
    std::size_t count = compression == kAlphaBitfields ? 4 : 3;
    if (headerSize == kInfoHeaderSize) {
      headersEnd += 4 * count;
      if (headersEnd > size) return fail(reason, "truncated BMP colour masks");
    } else {
      count = std::min<std::size_t>(4, (headerSize - kInfoHeaderSize) / 4);
    }
    for (std::size_t i = 0; i < count; ++i) masks[i] = read32(data + start + 4 * i);
  }
  const std::uint64_t pixelMask = (std::uint64_t{1} << bitsPerPixel) - 1;
  const bool fieldsValid = makeField(masks[0], layout.red) && makeField(masks[1], layout.green) &&
                           makeField(masks[2], layout.blue) && makeField(masks[3], layout.alpha);
  const std::uint64_t all = std::uint64_t{masks[0]} | masks[1] | masks[2] | masks[3];
  const std::uint64_t sum = std::uint64_t{masks[0]} + masks[1] + masks[2] + masks[3];
  // Each colour needs bits of its own, inside the pixel and apart from the others.
  if (!fieldsValid || !masks[0] || !masks[1] || !masks[2] || all != sum || (all & ~pixelMask)) {
    return fail(reason, "invalid BMP colour masks");
  }
  return true;
}

bool readLayout(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
                BmpLayout& layout, std::string& reason) {
  if (size < kFileHeaderSize + 4) return fail(reason, "truncated BMP header");
  const std::uint32_t pixelOffset = read32(data + 10);
  const std::uint32_t headerSize = read32(data + kFileHeaderSize);
  const bool core = headerSize == kCoreHeaderSize;
  if (!core && headerSize != kInfoHeaderSize && headerSize != 52 && headerSize != 56 &&
      headerSize != kOs2HeaderSize && headerSize != 108 && headerSize != 124) {
    return fail(reason, "unsupported BMP header of " + std::to_string(headerSize) + " bytes");
  }
  std::size_t headersEnd = kFileHeaderSize + headerSize;
  if (headersEnd > size) return fail(reason, "truncated BMP header");

  const std::uint8_t* header = data + kFileHeaderSize;
  std::int64_t width, height;
  int bitsPerPixel;
  std::uint32_t compression = kUncompressed, coloursUsed = 0;
  if (core) {
    width = read16(header + 4);
    height = read16(header + 6);
    bitsPerPixel = static_cast<int>(read16(header + 10));
  } else {
    width = static_cast<std::int32_t>(read32(header + 4));
    height = static_cast<std::int32_t>(read32(header + 8));
    bitsPerPixel = static_cast<int>(read16(header + 14));
    compression = read32(header + 16);
    coloursUsed = read32(header + 32);
  }
  if (width <= 0) return fail(reason, "BMP width " + std::to_string(width) + " is not positive");
  if (height == 0) return fail(reason, "BMP height is zero");
  layout.topDown = height < 0;
  const std::uint64_t rows = height < 0 ? -static_cast<std::uint64_t>(height) : height;
  if (!pictureSizeAllowed(static_cast<std::uint64_t>(width), rows, limit.maxPixels, reason)) {
    return false;
  }
  layout.width = static_cast<std::uint32_t>(width);
  layout.rows = static_cast<std::uint32_t>(rows);

  if (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8 && bitsPerPixel != 16 &&
      bitsPerPixel != 24 && bitsPerPixel != 32) {
    return fail(reason,
                "unsupported BMP depth of " + std::to_string(bitsPerPixel) + " bits per pixel");
  }
  layout.bitsPerPixel = bitsPerPixel;
  const bool masked = bitsPerPixel == 16 || bitsPerPixel == 32;
  if (compression == kRle8 || compression == kRle4) {
    return fail(reason, "run-length compressed BMP pictures are not supported");
  }
  if (compression == kEmbeddedJpeg || compression == kEmbeddedPng) {
    return fail(reason, "BMP pictures holding JPEG or PNG data are not supported");
  }
  // OS/2 headers give codes 3 and 4 other meanings (Huffman, 24-bit RLE).
  const bool maskCode = compression == kBitfields || compression == kAlphaBitfields;
  if (compression != kUncompressed && !(maskCode && masked && headerSize != kOs2HeaderSize)) {
    return fail(reason, "unsupported BMP compression " + std::to_string(compression) + " for " +
                            std::to_string(bitsPerPixel) + " bits per pixel");
  }
  if (masked &&
      !readMasks(data, size, headerSize, compression, bitsPerPixel, layout, headersEnd, reason)) {
    return false;
  }

  if (pixelOffset >= size) {
    return fail(reason, "BMP pixel data offset " + std::to_string(pixelOffset) +
                            " lies beyond the end of the file");
  }
  if (pixelOffset < headersEnd) {
    return fail(reason,
                "BMP pixel data offset " + std::to_string(pixelOffset) + " lies inside the header");
  }
  if (bitsPerPixel <= 8) {
    const std::uint32_t capacity = std::uint32_t{1} << bitsPerPixel;
    if (coloursUsed > capacity) {
      return fail(reason, "BMP palette of " + std::to_string(coloursUsed) +
                              " colours is too large for " + std::to_string(bitsPerPixel) +
                              " bits per pixel");
    }
    // The palette is what lies between the headers and the pixels, up to
    // its announced count: core headers announce none, and some writers
    // store fewer entries than the depth allows.
    layout.paletteEntry = core ? 3 : 4;
    const std::size_t room = (pixelOffset - headersEnd) / layout.paletteEntry;
    const std::uint32_t announced = coloursUsed == 0 ? capacity : coloursUsed;
    layout.paletteCount = static_cast<std::uint32_t>(std::min<std::size_t>(announced, room));
    layout.palette = data + headersEnd;
    if (layout.paletteCount == 0) return fail(reason, "the BMP palette is missing");
  }

  // Rows are padded to whole 32-bit words; the last row's padding may be
  // missing. The comparison divides rather than multiplies, so no product of
  // header fields can overflow whatever the pixel limit.
  const std::uint64_t rowBits = static_cast<std::uint64_t>(width) * bitsPerPixel;
  const std::uint64_t rowBytes = (rowBits + 31) / 32 * 4;
  const std::uint64_t lastRowBytes = (rowBits + 7) / 8;
  const std::uint64_t available = size - pixelOffset;
  if (lastRowBytes > available || rows - 1 > (available - lastRowBytes) / rowBytes) {
    return fail(reason, "truncated BMP pixel data");
  }
  // Only the headers can tell a missing last padding from a lost end: a file
  // shorter than the sizes they declare lost its end.
  const std::uint64_t declaredFileBytes = read32(data + 2);
  const std::uint64_t declaredPixelBytes = core ? 0 : read32(header + 20);
  if (size < declaredFileBytes || available < declaredPixelBytes) {
    return fail(reason, "truncated BMP pixel data");
  }
  layout.pixels = data + pixelOffset;
  layout.rowBytes = static_cast<std::size_t>(rowBytes);
  return true;
}

bool decodePixels(const BmpLayout& layout, Picture& picture, std::string& reason) {
  const std::size_t width = layout.width;
  const int bits = layout.bitsPerPixel;
  for (std::size_t row = 0; row < layout.rows; ++row) {
    const std::uint8_t* source = layout.pixels + row * layout.rowBytes;
    const std::size_t y = layout.topDown ? row : layout.rows - 1 - row;
    std::uint8_t* target = picture.rgb.data() + y * width * 3;
    for (std::size_t x = 0; x < width; ++x, target += 3) {
      if (bits <= 8) {
        // Pixels are packed from the most significant bits of each byte.
        const std::size_t bit = x * bits;
        const std::uint32_t index = (source[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        if (index >= layout.paletteCount) {
          return fail(reason, "BMP pixel index " + std::to_string(index) +
                                  " lies outside the palette of " +
                                  std::to_string(layout.paletteCount) + " colours");
        }
        const std::uint8_t* colour = layout.palette + index * layout.paletteEntry;
        target[0] = colour[2];
        target[1] = colour[1];
        target[2] = colour[0];
      } else if (bits == 24) {
        const std::uint8_t* pixel = source + 3 * x;
        target[0] = pixel[2];
        target[1] = pixel[1];
        target[2] = pixel[0];
      } else {
        const std::uint32_t pixel = bits == 16 ? read16(source + 2 * x) : read32(source + 4 * x);
        target[0] = layout.red.byteOf(pixel);
        target[1] = layout.green.byteOf(pixel);
        target[2] = layout.blue.byteOf(pixel);
      }
    }
  }
  return true;
}

}  // namespace

bool isBmp(const std::uint8_t* data, std::size_t size) {
  return size >= 2 && data[0] == 'B' && data[1] == 'M';
}

bool decodeBmp(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
               Picture& picture, std::string& reason) {
  if (!isBmp(data, size)) return fail(reason, "not a BMP picture");
  BmpLayout layout;
  if (!readLayout(data, size, limit, layout, reason)) return false;
  Picture decoded;
  decoded.width = static_cast<int>(layout.width);
  decoded.height = static_cast<int>(layout.rows);
  decoded.bitsPerPixel = layout.bitsPerPixel;
  decoded.trueColour = layout.bitsPerPixel > 8;
  decoded.hasAlpha = layout.alpha.mask != 0;
  if (!headerAccepted(decoded, limit, reason)) return false;
  decoded.rgb.resize(std::size_t{layout.width} * layout.rows * 3);
  if (!decodePixels(layout, decoded, reason)) return false;
  picture = std::move(decoded);
  return true;
}

bool encodeBmp(const Picture& picture, std::vector<std::uint8_t>& file, std::string& reason) {
  assert(picture.width > 0 && picture.height > 0);
  assert(picture.rgb.size() == static_cast<std::size_t>(picture.width) * picture.height * 3);
  const std::uint64_t width = static_cast<std::uint64_t>(picture.width);
  const std::uint64_t height = static_cast<std::uint64_t>(picture.height);
  const std::uint64_t rowBytes = (width * 3 + 3) / 4 * 4;
  const std::uint64_t headers = kFileHeaderSize + kInfoHeaderSize;
  const std::uint64_t total = headers + rowBytes * height;
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    return fail(reason, "the picture is too large for a BMP file");
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(total), 0);
  std::uint8_t* p = bytes.data();
  p[0] = 'B';
  p[1] = 'M';
  write32(p + 2, static_cast<std::uint32_t>(total));
  write32(p + 10, static_cast<std::uint32_t>(headers));
  std::uint8_t* info = p + kFileHeaderSize;
  write32(info, kInfoHeaderSize);
  write32(info + 4, static_cast<std::uint32_t>(width));
  write32(info + 8, static_cast<std::uint32_t>(height));
  write16(info + 12, 1);
  write16(info + 14, 24);
  write32(info + 16, kUncompressed);
  write32(info + 20, static_cast<std::uint32_t>(rowBytes * height));
  write32(info + 24, kPixelsPerMetre);
  write32(info + 28, kPixelsPerMetre);
  // Bottom-up: the file's first row is the picture's last.
  for (std::uint64_t y = 0; y < height; ++y) {
    const std::uint8_t* source = picture.rgb.data() + (height - 1 - y) * width * 3;
    std::uint8_t* target = p + headers + y * rowBytes;
    for (std::uint64_t x = 0; x < width; ++x) {
      target[3 * x] = source[3 * x + 2];
      target[3 * x + 1] = source[3 * x + 1];
      target[3 * x + 2] = source[3 * x];
    }
  }
  file = std::move(bytes);
  return true;
}

}  // namespace kestrel
