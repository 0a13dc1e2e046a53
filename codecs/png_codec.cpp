#include "codecs/png_codec.h"

#include <png.h>

#include <cassert>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kestrel {
namespace {

constexpr std::size_t kSignatureSize = 8;
constexpr std::size_t kMessageCapacity = 200;

// libpng reports errors by calling onPngError, which keeps the text here and
// jumps back to the reading or writing function.
[[noreturn]] void onPngError(png_structp png, png_const_charp text) {
  std::snprintf(static_cast<char*>(png_get_error_ptr(png)), kMessageCapacity, "%s", text);
  png_longjmp(png, 1);
}

// Warnings concern ancillary data that libpng skipped or repaired; the
// pixels are unaffected, so they are dropped instead of printed.
void onPngWarning(png_structp, png_const_charp) {}

// Everything libpng and its callbacks touch while reading. It belongs to the
// caller of readPng, so a longjmp out of libpng leaves it intact and its
// destructor releases the libpng structures on both paths.
struct PngReadState {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
  bool truncated = false;
  char message[kMessageCapacity] = {};
  png_structp png = nullptr;
  png_infop info = nullptr;
  Picture picture;
  std::vector<png_bytep> rows;
  std::vector<std::uint8_t> wideSamples;

  ~PngReadState() { png_destroy_read_struct(&png, &info, nullptr); }
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* state = static_cast<PngReadState*>(png_get_io_ptr(png));
  if (length > state->size - state->offset) {
    state->truncated = true;
    png_error(png, "truncated PNG data");
  }
  std::memcpy(out, state->data + state->offset, length);
  state->offset += length;
}

// The colour profile and Exif block that precede the pixel data.
void readMetadata(png_structp png, png_infop info, Picture& picture) {
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profileLength = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &profileLength) == PNG_INFO_iCCP) {
    picture.iccProfile.assign(profile, profile + profileLength);
  }
  png_bytep exif = nullptr;
  png_uint_32 exifLength = 0;
  if (png_get_eXIf_1(png, info, &exifLength, &exif) == PNG_INFO_eXIf) {
    picture.exif.assign(exif, exif + exifLength);
  }
}

// Runs libpng's reader over state. Returns false on a libpng error (text in
// state.message) or when the picture is too large (reason set).
bool readPng(PngReadState& state, const PictureLimit& limit, std::string& reason) {
  if (setjmp(png_jmpbuf(state.png))) return false;
  png_structp png = state.png;
  png_infop info = state.info;
  // libpng's default cap of a million pixels a side would pre-empt the
  // clearer pixel-count limit below.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_read_fn(png, &state, readFromMemory);
  png_read_info(png, info);

  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (!pictureSizeAllowed(width, height, limit.maxPixels, reason)) return false;
  const int depth = png_get_bit_depth(png, info);
  const int colourType = png_get_color_type(png, info);
  Picture& picture = state.picture;
  picture.width = static_cast<int>(width);
  picture.height = static_cast<int>(height);
  picture.bitsPerPixel = png_get_channels(png, info) * (depth == 16 ? 8 : depth);
  picture.trueColour = (colourType & PNG_COLOR_MASK_COLOR) && colourType != PNG_COLOR_TYPE_PALETTE;
  picture.hasAlpha =
      (colourType & PNG_COLOR_MASK_ALPHA) ||
      (colourType == PNG_COLOR_TYPE_PALETTE && png_get_valid(png, info, PNG_INFO_tRNS));
  if (!headerAccepted(picture, limit, reason)) return false;
  readMetadata(png, info, picture);

  // Every colour type is brought to 8-bit RGB. Alpha, including the alpha
  // that palette expansion makes of tRNS, is dropped rather than composited
  // because only the colour components are used.
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colourType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  png_set_strip_alpha(png);
  if (!(colourType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const std::size_t samples = std::size_t{width} * height * 3;
  const std::size_t sampleBytes = depth == 16 ? 2 : 1;
  const std::size_t rowBytes = std::size_t{width} * 3 * sampleBytes;
  if (png_get_rowbytes(png, info) != rowBytes) png_error(png, "unexpected row layout");

  // 16-bit rows arrive big-endian in a buffer of their own.
  std::vector<std::uint8_t>& target = depth == 16 ? state.wideSamples : picture.rgb;
  target.resize(rowBytes * height);
  state.rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) state.rows[y] = target.data() + y * rowBytes;
  png_read_image(png, state.rows.data());
  if (depth == 16) {
    picture.deep.resize(samples);
    picture.rgb.resize(samples);
    for (std::size_t i = 0; i < samples; ++i) {
      const std::uint32_t value = std::uint32_t{state.wideSamples[2 * i]} << 8 |
                                  state.wideSamples[2 * i + 1];
      picture.deep[i] = static_cast<std::uint16_t>(value);
      picture.rgb[i] = static_cast<std::uint8_t>((value * 255 + 32767) / 65535);
    }
  }
  return true;
}

struct PngWriteState {
  std::vector<std::uint8_t> file;
  std::vector<std::uint8_t> row;
  char message[kMessageCapacity] = {};
  png_structp png = nullptr;
  png_infop info = nullptr;

  ~PngWriteState() { png_destroy_write_struct(&png, &info); }
};

void writeToMemory(png_structp png, png_bytep bytes, png_size_t length) {
  auto* state = static_cast<PngWriteState*>(png_get_io_ptr(png));
  if (!appendBytes(state->file, bytes, length)) png_error(png, "out of memory");
}

void flushMemory(png_structp) {}

bool writePng(PngWriteState& state, const Picture& picture) {
  if (setjmp(png_jmpbuf(state.png))) return false;
  png_structp png = state.png;
  png_infop info = state.info;
  png_set_write_fn(png, &state, writeToMemory, flushMemory);
  // zlib's level 4 writes deblurred photographs about 2.5 times as fast as
  // its default 6, and the files come out no larger: their fine grain
  // leaves little for the slower levels' longer searches to find.
  png_set_compression_level(png, 4);
  const bool deep = !picture.deep.empty();
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width),
               static_cast<png_uint_32>(picture.height), deep ? 16 : 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // A profile libpng finds malformed is left out with a warning rather than
  // failing the picture.
  png_set_benign_errors(png, 1);
  if (!picture.iccProfile.empty()) {
    png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, picture.iccProfile.data(),
                 static_cast<png_uint_32>(picture.iccProfile.size()));
  }
  if (!picture.exif.empty()) {
    // libpng keeps its own copy; the pointer is only read.
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(picture.exif.size()),
                   const_cast<png_bytep>(picture.exif.data()));
  }
  png_write_info(png, info);
  const std::size_t rowSamples = static_cast<std::size_t>(picture.width) * 3;
  if (deep) {
    state.row.resize(2 * rowSamples);
    for (int y = 0; y < picture.height; ++y) {
      const std::uint16_t* samples = picture.deep.data() + static_cast<std::size_t>(y) * rowSamples;
      for (std::size_t i = 0; i < rowSamples; ++i) {
        state.row[2 * i] = static_cast<std::uint8_t>(samples[i] >> 8);
        state.row[2 * i + 1] = static_cast<std::uint8_t>(samples[i]);
      }
      png_write_row(png, state.row.data());
    }
  } else {
    for (int y = 0; y < picture.height; ++y) {
      png_write_row(png, picture.rgb.data() + static_cast<std::size_t>(y) * rowSamples);
    }
  }
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool isPng(const std::uint8_t* data, std::size_t size) {
  return size >= kSignatureSize && png_sig_cmp(data, 0, kSignatureSize) == 0;
}

bool decodePng(const std::uint8_t* data, std::size_t size, const PictureLimit& limit,
               Picture& picture, std::string& reason) {
  if (!isPng(data, size)) {
    reason = "not a PNG picture";
    return false;
  }
  PngReadState state;
  state.data = data;
  state.size = size;
  state.png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, state.message, onPngError, onPngWarning);
  if (state.png) state.info = png_create_info_struct(state.png);
  if (!state.info) {
    reason = "cannot start the PNG decoder";
    return false;
  }
  std::string sizeReason;
  if (!readPng(state, limit, sizeReason)) {
    if (!sizeReason.empty()) {
      reason = sizeReason;
    } else if (state.truncated) {
      reason = "truncated PNG data";
    } else {
      reason = std::string("corrupt PNG data (") + state.message + ")";
    }
    return false;
  }
  picture = std::move(state.picture);
  return true;
}

bool encodePng(const Picture& picture, std::vector<std::uint8_t>& file, std::string& reason) {
  assert(picture.width > 0 && picture.height > 0);
  assert(picture.rgb.size() == static_cast<std::size_t>(picture.width) * picture.height * 3);
  PngWriteState state;
  state.png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, state.message, onPngError, onPngWarning);
  if (state.png) state.info = png_create_info_struct(state.png);
  if (!state.info) {
    reason = "cannot start the PNG encoder";
    return false;
  }
  if (!writePng(state, picture)) {
    reason = std::string("PNG encoding failed (") + state.message + ")";
    return false;
  }
  file = std::move(state.file);
  return true;
}

}  // namespace kestrel
