// Independent writers of test pictures: PNG and JPEG through the libraries'
// own interfaces with every option the codecs must read, BMP byte by byte.
// The expected pixels of a test are the values handed to these builders.
#pragma once

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::testing {

struct PngSpec {
  int width = 1;
  int height = 1;
  int colourType = PNG_COLOR_TYPE_RGB;
  int depth = 8;
  bool interlaced = false;
  // One value per channel per pixel, rows top first, each below 2^depth.
  std::vector<std::uint16_t> samples;
  std::vector<png_color> palette;
  std::vector<std::uint8_t> paletteAlpha;
  // A tRNS colour key for grey or RGB pictures.
  bool colourKey = false;
};

inline int pngChannels(int colourType) {
  switch (colourType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
      return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    default:
      return 4;
  }
}

[[noreturn]] inline void abortOnPngError(png_structp, png_const_charp message) {
  std::fprintf(stderr, "test PNG builder: %s\n", message);
  std::abort();
}

inline void appendPngBytes(png_structp png, png_bytep bytes, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), bytes, bytes + length);
}

inline void flushNothing(png_structp) {}

inline std::vector<std::uint8_t> buildPng(const PngSpec& spec) {
  const int channels = pngChannels(spec.colourType);
  const std::size_t rowBits = static_cast<std::size_t>(spec.width) * channels * spec.depth;
  std::vector<std::vector<std::uint8_t>> rows(spec.height,
                                              std::vector<std::uint8_t>((rowBits + 7) / 8, 0));
  for (int y = 0; y < spec.height; ++y) {
    for (int i = 0; i < spec.width * channels; ++i) {
      const std::uint16_t v = spec.samples[static_cast<std::size_t>(y) * spec.width * channels + i];
      std::uint8_t* row = rows[y].data();
      if (spec.depth == 16) {
        row[2 * i] = static_cast<std::uint8_t>(v >> 8);
        row[2 * i + 1] = static_cast<std::uint8_t>(v);
      } else {
        const std::size_t bit = static_cast<std::size_t>(i) * spec.depth;
        row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - spec.depth - bit % 8));
      }
    }
  }
  std::vector<std::uint8_t> file;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, abortOnPngError, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, appendPngBytes, flushNothing);
  png_set_IHDR(png, info, spec.width, spec.height, spec.depth, spec.colourType,
               spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!spec.palette.empty()) {
    png_set_PLTE(png, info, spec.palette.data(), static_cast<int>(spec.palette.size()));
  }
  if (!spec.paletteAlpha.empty()) {
    png_set_tRNS(png, info, spec.paletteAlpha.data(), static_cast<int>(spec.paletteAlpha.size()),
                 nullptr);
  }
  if (spec.colourKey) {
    png_color_16 key{};
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  png_write_info(png, info);
  std::vector<png_bytep> pointers;
  for (auto& row : rows) pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return file;
}

// Byte offset of the first chunk of the given type, or 0.
inline std::size_t findPngChunk(const std::vector<std::uint8_t>& file, const char* type) {
  std::size_t at = 8;
  while (at + 8 <= file.size()) {
    const std::size_t length =
        (std::size_t{file[at]} << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
    if (std::memcmp(file.data() + at + 4, type, 4) == 0) return at;
    at += length + 12;
  }
  return 0;
}

inline void putBigEndian32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// Rewrites the announced size in IHDR and repairs the chunk's CRC, so that
// only the size is hostile.
inline void announcePngSize(std::vector<std::uint8_t>& file, std::uint32_t width,
                            std::uint32_t height) {
  std::uint8_t* ihdr = file.data() + 8;
  putBigEndian32(ihdr + 8, width);
  putBigEndian32(ihdr + 12, height);
  putBigEndian32(ihdr + 8 + 13, static_cast<std::uint32_t>(crc32(0, ihdr + 4, 17)));
}

// announcePngSize applied to a PNG file in place.
inline void announcePngFileSize(const std::string& path, std::uint32_t width,
                                std::uint32_t height) {
  std::vector<std::uint8_t> file;
  if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
      file.push_back(static_cast<std::uint8_t>(c));
    }
    std::fclose(in);
  }
  announcePngSize(file, width, height);
  if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
}

struct JpegSpec {
  int width = 1;
  int height = 1;
  int components = 3;
  J_COLOR_SPACE input = JCS_RGB;
  // The colour space stored in the file; JCS_UNKNOWN keeps libjpeg's default.
  J_COLOR_SPACE stored = JCS_UNKNOWN;
  bool progressive = false;
  int quality = 95;
  // components values per pixel, rows top first.
  std::vector<std::uint8_t> samples;
  // Written as an APP1 Exif marker and as libjpeg's ICC chunks when not empty.
  std::vector<std::uint8_t> exif;
  std::vector<std::uint8_t> iccProfile;
};

inline std::vector<std::uint8_t> buildJpeg(const JpegSpec& spec) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = spec.width;
  cinfo.image_height = spec.height;
  cinfo.input_components = spec.components;
  cinfo.in_color_space = spec.input;
  jpeg_set_defaults(&cinfo);
  if (spec.stored != JCS_UNKNOWN) jpeg_set_colorspace(&cinfo, spec.stored);
  jpeg_set_quality(&cinfo, spec.quality, TRUE);
  if (spec.progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  if (!spec.exif.empty()) {
    std::vector<std::uint8_t> marker = {'E', 'x', 'i', 'f', 0, 0};
    marker.insert(marker.end(), spec.exif.begin(), spec.exif.end());
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, marker.data(),
                      static_cast<unsigned int>(marker.size()));
  }
  if (!spec.iccProfile.empty()) {
    jpeg_write_icc_profile(&cinfo, spec.iccProfile.data(),
                           static_cast<unsigned int>(spec.iccProfile.size()));
  }
  const std::size_t rowBytes = static_cast<std::size_t>(spec.width) * spec.components;
  std::vector<std::uint8_t> samples = spec.samples;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = samples.data() + cinfo.next_scanline * rowBytes;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  // jpeg_mem_dest allocates with malloc; the owner frees it the same way.
  std::unique_ptr<unsigned char, decltype(&std::free)> owner(buffer, &std::free);
  jpeg_destroy_compress(&cinfo);
  return std::vector<std::uint8_t>(buffer, buffer + size);
}

// Offset of the first marker 0xFF code, or 0.
inline std::size_t findJpegMarker(const std::vector<std::uint8_t>& file, std::uint8_t code) {
  for (std::size_t i = 2; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == code) return i;
  }
  return 0;
}

// A display profile (version 4.3, PCS XYZ, D50) of the given colour space
// ("RGB " or "GRAY") without tags, followed by 256 bytes of noise: libpng
// cannot read back an iCCP chunk whose compressed profile is as short as an
// empty profile's.
inline std::vector<std::uint8_t> minimalIccProfile(const char* colourSpace) {
  std::vector<std::uint8_t> profile(132 + 256, 0);
  putBigEndian32(profile.data(), static_cast<std::uint32_t>(profile.size()));
  std::uint32_t noise = 12345;
  for (std::size_t i = 132; i < profile.size(); ++i) {
    noise = noise * 1103515245u + 12345u;
    profile[i] = static_cast<std::uint8_t>(noise >> 24);
  }
  putBigEndian32(profile.data() + 8, 0x04300000);
  std::memcpy(profile.data() + 12, "mntr", 4);
  std::memcpy(profile.data() + 16, colourSpace, 4);
  std::memcpy(profile.data() + 20, "XYZ ", 4);
  std::memcpy(profile.data() + 36, "acsp", 4);
  putBigEndian32(profile.data() + 68, 0x0000F6D6);
  putBigEndian32(profile.data() + 72, 0x00010000);
  putBigEndian32(profile.data() + 76, 0x0000D32D);
  return profile;
}

// A big-endian TIFF block with one IFD entry: the Exif orientation tag.
inline std::vector<std::uint8_t> orientationExif(std::uint16_t orientation) {
  return {'M', 'M', 0, 42, 0, 0, 0, 8,  // header, first IFD at 8
          0, 1,                          // one entry
          0x01, 0x12, 0, 3, 0, 0, 0, 1,  // orientation, SHORT, count 1
          static_cast<std::uint8_t>(orientation >> 8), static_cast<std::uint8_t>(orientation), 0,
          0,           // value, padded
          0, 0, 0, 0};  // no next IFD
}

struct FileMetadata {
  std::vector<std::uint8_t> exif;
  std::vector<std::uint8_t> iccProfile;
};

// The Exif block and ICC profile of a JPEG file, read with libjpeg alone.
inline FileMetadata jpegMetadata(const std::vector<std::uint8_t>& file) {
  FileMetadata found;
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 && std::memcmp(m->data, "Exif", 5) == 0) {
      found.exif.assign(m->data + 6, m->data + m->data_length);
    }
  }
  JOCTET* profile = nullptr;
  unsigned int length = 0;
  if (jpeg_read_icc_profile(&cinfo, &profile, &length)) {
    found.iccProfile.assign(profile, profile + length);
    std::free(profile);
  }
  jpeg_destroy_decompress(&cinfo);
  return found;
}

// The eXIf and iCCP chunks of a PNG file, read with libpng alone.
inline FileMetadata pngMetadata(const std::vector<std::uint8_t>& file) {
  FileMetadata found;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  struct Source {
    const std::vector<std::uint8_t>* file;
    std::size_t offset;
  } source{&file, 0};
  png_set_read_fn(png, &source, [](png_structp p, png_bytep out, png_size_t length) {
    auto* from = static_cast<Source*>(png_get_io_ptr(p));
    std::memcpy(out, from->file->data() + from->offset, length);
    from->offset += length;
  });
  png_read_info(png, info);
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profileLength = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &profileLength)) {
    found.iccProfile.assign(profile, profile + profileLength);
  }
  png_bytep exif = nullptr;
  png_uint_32 exifLength = 0;
  if (png_get_eXIf_1(png, info, &exifLength, &exif)) found.exif.assign(exif, exif + exifLength);
  png_destroy_read_struct(&png, &info, nullptr);
  return found;
}

struct BmpSpec {
  std::uint32_t headerSize = 40;
  std::int32_t width = 1;
  // Negative for a top-down picture.
  std::int32_t height = 1;
  int bitsPerPixel = 24;
  std::uint32_t compression = 0;
  // Written after a 40-byte header, or inside a larger one.
  std::vector<std::uint32_t> masks;
  // Palette colours as 0xRRGGBB.
  std::vector<std::uint32_t> palette;
  std::uint32_t coloursUsed = 0;
  // Per pixel, rows top first: a palette index, 0xRRGGBB for 24 bits, or
  // the raw 16 or 32-bit value.
  std::vector<std::uint32_t> pixels;
};

inline void putLittleEndian(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v,
                            int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::vector<std::uint8_t> buildBmp(const BmpSpec& spec) {
  const bool core = spec.headerSize == 12;
  const std::size_t rows = spec.height < 0 ? -static_cast<std::int64_t>(spec.height) : spec.height;
  const std::size_t rowBytes =
      (static_cast<std::size_t>(spec.width) * spec.bitsPerPixel + 31) / 32 * 4;
  const std::size_t maskBytes = spec.headerSize == 40 ? 4 * spec.masks.size() : 0;
  const std::size_t paletteStart = 14 + spec.headerSize + maskBytes;
  const std::size_t entry = core ? 3 : 4;
  const std::size_t pixelStart = paletteStart + entry * spec.palette.size();
  std::vector<std::uint8_t> out(pixelStart + rowBytes * rows, 0);
  out[0] = 'B';
  out[1] = 'M';
  putLittleEndian(out, 2, static_cast<std::uint32_t>(out.size()), 4);
  putLittleEndian(out, 10, static_cast<std::uint32_t>(pixelStart), 4);
  putLittleEndian(out, 14, spec.headerSize, 4);
  if (core) {
    putLittleEndian(out, 18, static_cast<std::uint32_t>(spec.width), 2);
    putLittleEndian(out, 20, static_cast<std::uint32_t>(spec.height), 2);
    putLittleEndian(out, 22, 1, 2);
    putLittleEndian(out, 24, spec.bitsPerPixel, 2);
  } else {
    putLittleEndian(out, 18, static_cast<std::uint32_t>(spec.width), 4);
    putLittleEndian(out, 22, static_cast<std::uint32_t>(spec.height), 4);
    putLittleEndian(out, 26, 1, 2);
    putLittleEndian(out, 28, spec.bitsPerPixel, 2);
    putLittleEndian(out, 30, spec.compression, 4);
    putLittleEndian(out, 34, static_cast<std::uint32_t>(rowBytes * rows), 4);
    putLittleEndian(out, 46, spec.coloursUsed, 4);
    for (std::size_t i = 0; i < spec.masks.size(); ++i) {
      putLittleEndian(out, 54 + 4 * i, spec.masks[i], 4);
    }
  }
  for (std::size_t i = 0; i < spec.palette.size(); ++i) {
    const std::uint32_t rgb = spec.palette[i];
    out[paletteStart + entry * i] = static_cast<std::uint8_t>(rgb);
    out[paletteStart + entry * i + 1] = static_cast<std::uint8_t>(rgb >> 8);
    out[paletteStart + entry * i + 2] = static_cast<std::uint8_t>(rgb >> 16);
  }
  for (std::size_t y = 0; y < rows; ++y) {
    const std::size_t fileRow = spec.height < 0 ? y : rows - 1 - y;
    const std::size_t start = pixelStart + fileRow * rowBytes;
    for (int x = 0; x < spec.width; ++x) {
      const std::uint32_t v = spec.pixels[y * spec.width + x];
      if (spec.bitsPerPixel <= 8) {
        const std::size_t bit = static_cast<std::size_t>(x) * spec.bitsPerPixel;
        out[start + bit / 8] |= static_cast<std::uint8_t>(v << (8 - spec.bitsPerPixel - bit % 8));
      } else {
        putLittleEndian(out, start + static_cast<std::size_t>(x) * spec.bitsPerPixel / 8, v,
                        spec.bitsPerPixel / 8);
      }
    }
  }
  return out;
}

}  // namespace kestrel::testing
