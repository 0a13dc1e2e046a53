#include "codecs/bmp_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/codecs/picture_builders.h"

namespace kestrel {
namespace {

using testing::BmpSpec;
using testing::buildBmp;

constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;

Picture decodeOrFail(const std::vector<std::uint8_t>& file) {
  Picture picture;
  std::string reason;
  EXPECT_TRUE(decodeBmp(file.data(), file.size(), kLimit, picture, reason)) << reason;
  return picture;
}

std::string refusal(const std::vector<std::uint8_t>& file) {
  Picture picture;
  std::string reason;
  EXPECT_FALSE(decodeBmp(file.data(), file.size(), kLimit, picture, reason));
  EXPECT_TRUE(picture.rgb.empty());
  return reason;
}

std::vector<std::uint32_t> randomValues(std::size_t count, std::uint32_t bound, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::uint32_t> value(0, bound - 1);
  std::vector<std::uint32_t> values(count);
  for (auto& v : values) v = value(random);
  return values;
}

void expectPixel(const Picture& picture, std::size_t i, std::uint32_t rgb) {
  EXPECT_EQ(picture.rgb[3 * i], (rgb >> 16) & 0xFF) << i;
  EXPECT_EQ(picture.rgb[3 * i + 1], (rgb >> 8) & 0xFF) << i;
  EXPECT_EQ(picture.rgb[3 * i + 2], rgb & 0xFF) << i;
}

BmpSpec paletteSpec(int bits, int width, int height, unsigned seed) {
  BmpSpec spec;
  spec.bitsPerPixel = bits;
  spec.width = width;
  spec.height = height;
  spec.palette = randomValues(std::size_t{1} << bits, 1u << 24, seed);
  spec.pixels =
      randomValues(static_cast<std::size_t>(width) * std::abs(height), 1u << bits, seed + 1);
  return spec;
}

TEST(BmpDecoding, PalettePicturesOfEveryDepthAndRowOrderLookUpTheirColours) {
  for (int bits : {1, 4, 8}) {
    // Widths around every padding case of each depth.
    for (int width : {1, 3, 7, 9, 33}) {
      for (int height : {5, -5}) {
        const BmpSpec spec = paletteSpec(bits, width, height, bits * 100 + width);
        const Picture picture = decodeOrFail(buildBmp(spec));
        ASSERT_EQ(picture.width, width);
        ASSERT_EQ(picture.height, 5);
        EXPECT_FALSE(picture.trueColour);
        EXPECT_FALSE(picture.hasAlpha);
        EXPECT_EQ(picture.bitsPerPixel, bits);
        for (std::size_t i = 0; i < spec.pixels.size(); ++i) {
          expectPixel(picture, i, spec.palette[spec.pixels[i]]);
        }
      }
    }
  }
}

TEST(BmpDecoding, ShortPalettesAnnouncedByTheirCountAreUsed) {
  BmpSpec spec = paletteSpec(8, 6, 2, 7);
  spec.palette.resize(3);
  spec.coloursUsed = 3;
  spec.pixels = {0, 1, 2, 2, 1, 0, 1, 1, 1, 0, 0, 2};
  const Picture picture = decodeOrFail(buildBmp(spec));
  for (std::size_t i = 0; i < spec.pixels.size(); ++i) {
    expectPixel(picture, i, spec.palette[spec.pixels[i]]);
  }
}

TEST(BmpDecoding, TrueColourPicturesOfEveryRowOrderKeepTheirPixels) {
  for (int width : {1, 2, 3, 4, 5, 31}) {
    for (int height : {4, -4}) {
      BmpSpec spec;
      spec.width = width;
      spec.height = height;
      spec.pixels = randomValues(static_cast<std::size_t>(width) * 4, 1u << 24, width);
      const Picture picture = decodeOrFail(buildBmp(spec));
      EXPECT_TRUE(picture.trueColour);
      EXPECT_FALSE(picture.hasAlpha);
      EXPECT_EQ(picture.bitsPerPixel, 24);
      for (std::size_t i = 0; i < spec.pixels.size(); ++i) expectPixel(picture, i, spec.pixels[i]);
    }
  }
}

TEST(BmpDecoding, PlainThirtyTwoBitPixelsIgnoreTheirFourthByte) {
  BmpSpec spec;
  spec.bitsPerPixel = 32;
  spec.width = 3;
  spec.height = -2;
  spec.pixels = {0xFF102030, 0x00405060, 0x7F708090, 0x12A0B0C0, 0x00000000, 0xFFFFFFFF};
  const Picture picture = decodeOrFail(buildBmp(spec));
  EXPECT_TRUE(picture.trueColour);
  EXPECT_FALSE(picture.hasAlpha);
  EXPECT_EQ(picture.bitsPerPixel, 32);
  for (std::size_t i = 0; i < spec.pixels.size(); ++i) {
    expectPixel(picture, i, spec.pixels[i] & 0xFFFFFF);
  }
}

TEST(BmpDecoding, SixteenBitFieldsScaleToTheNearestByte) {
  // Plain 16-bit pixels are 5-5-5; with masks 5-6-5 is common.
  BmpSpec plain;
  plain.bitsPerPixel = 16;
  plain.width = 4;
  plain.pixels = {0x7FFF, 0x0000, (16u << 10) | (1u << 5) | 30u, 0x8000 | (3u << 10)};
  Picture picture = decodeOrFail(buildBmp(plain));
  EXPECT_TRUE(picture.trueColour);
  const auto five = [](unsigned v) { return static_cast<int>(std::lround(v * 255.0 / 31)); };
  const auto six = [](unsigned v) { return static_cast<int>(std::lround(v * 255.0 / 63)); };
  const std::vector<std::uint8_t> expected = {255,
                                              255,
                                              255,
                                              0,
                                              0,
                                              0,
                                              static_cast<std::uint8_t>(five(16)),
                                              static_cast<std::uint8_t>(five(1)),
                                              static_cast<std::uint8_t>(five(30)),
                                              static_cast<std::uint8_t>(five(3)),
                                              0,
                                              0};
  EXPECT_EQ(picture.rgb, expected);

  BmpSpec masked = plain;
  masked.compression = 3;
  masked.masks = {0xF800, 0x07E0, 0x001F};
  masked.pixels = {0xFFFF, (9u << 11) | (40u << 5) | 2u};
  masked.width = 2;
  picture = decodeOrFail(buildBmp(masked));
  EXPECT_FALSE(picture.hasAlpha);
  const std::vector<std::uint8_t> expected565 = {255,
                                                 255,
                                                 255,
                                                 static_cast<std::uint8_t>(five(9)),
                                                 static_cast<std::uint8_t>(six(40)),
                                                 static_cast<std::uint8_t>(five(2))};
  EXPECT_EQ(picture.rgb, expected565);
}

TEST(BmpDecoding, AnAlphaMaskInALargerHeaderCountsAsAlpha) {
  for (std::uint32_t headerSize : {56u, 108u, 124u}) {
    BmpSpec spec;
    spec.headerSize = headerSize;
    spec.bitsPerPixel = 32;
    spec.compression = 3;
    spec.width = 2;
    spec.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    spec.pixels = {0x00112233, 0xFF445566};
    const Picture picture = decodeOrFail(buildBmp(spec));
    EXPECT_TRUE(picture.hasAlpha) << headerSize;
    EXPECT_TRUE(picture.trueColour);
    expectPixel(picture, 0, 0x112233);
    expectPixel(picture, 1, 0x445566);
  }
}

TEST(BmpDecoding, AVersionTwoHeaderHoldsNoAlphaMask) {
  // The bytes after a 52-byte header are pixels, whatever the compression
  // code announces.
  for (std::uint32_t compression : {3u, 6u}) {
    BmpSpec spec;
    spec.headerSize = 52;
    spec.bitsPerPixel = 32;
    spec.compression = compression;
    spec.width = 1;
    spec.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
    spec.pixels = {0xFF010203};
    const Picture picture = decodeOrFail(buildBmp(spec));
    EXPECT_FALSE(picture.hasAlpha) << compression;
    expectPixel(picture, 0, 0x010203);
  }
}

TEST(BmpDecoding, MasksAfterAnInfoHeaderMayReorderTheChannels) {
  BmpSpec spec;
  spec.bitsPerPixel = 32;
  spec.compression = 6;
  spec.width = 1;
  spec.masks = {0x000000FF, 0x0000FF00, 0x00FF0000, 0};
  spec.pixels = {0x00332211};
  const Picture picture = decodeOrFail(buildBmp(spec));
  EXPECT_FALSE(picture.hasAlpha);
  expectPixel(picture, 0, 0x112233);
}

TEST(BmpDecoding, CoreHeadersWithThreeBytePaletteEntriesDecode) {
  BmpSpec spec = paletteSpec(8, 5, 3, 11);
  spec.headerSize = 12;
  const Picture picture = decodeOrFail(buildBmp(spec));
  for (std::size_t i = 0; i < spec.pixels.size(); ++i) {
    expectPixel(picture, i, spec.palette[spec.pixels[i]]);
  }
}

TEST(BmpDecoding, CompressedAndUnknownVariantsAreRefusedWithTheirReason) {
  BmpSpec spec = paletteSpec(8, 4, 4, 3);
  spec.compression = 1;
  EXPECT_EQ(refusal(buildBmp(spec)), "run-length compressed BMP pictures are not supported");
  spec = paletteSpec(4, 4, 4, 3);
  spec.compression = 2;
  EXPECT_EQ(refusal(buildBmp(spec)), "run-length compressed BMP pictures are not supported");
  spec = paletteSpec(8, 4, 4, 3);
  spec.compression = 3;
  EXPECT_EQ(refusal(buildBmp(spec)), "unsupported BMP compression 3 for 8 bits per pixel");
  spec.compression = 5;
  EXPECT_EQ(refusal(buildBmp(spec)), "BMP pictures holding JPEG or PNG data are not supported");
  spec.compression = 9;
  EXPECT_EQ(refusal(buildBmp(spec)), "unsupported BMP compression 9 for 8 bits per pixel");
  spec = paletteSpec(8, 4, 4, 3);
  spec.bitsPerPixel = 2;
  EXPECT_EQ(refusal(buildBmp(spec)), "unsupported BMP depth of 2 bits per pixel");
  std::vector<std::uint8_t> file = buildBmp(paletteSpec(8, 4, 4, 3));
  file[14] = 20;
  EXPECT_EQ(refusal(file), "unsupported BMP header of 20 bytes");
}

TEST(BmpDecoding, InvalidColourMasksAreRefused) {
  const std::vector<std::vector<std::uint32_t>> masks = {
      {0xF800, 0x07E0, 0x0000},           // no blue
      {0xF800, 0x0FE0, 0x001F},           // green overlaps red
      {0xF000, 0x07E0, 0x001F | 0x0100},  // blue not contiguous
      {0x1F0000, 0x07E0, 0x001F},         // red outside 16 bits
  };
  for (const auto& set : masks) {
    BmpSpec spec;
    spec.bitsPerPixel = 16;
    spec.compression = 3;
    spec.width = 1;
    spec.masks = set;
    spec.pixels = {0};
    EXPECT_EQ(refusal(buildBmp(spec)), "invalid BMP colour masks");
  }
}

TEST(BmpDecoding, HostileSizesAndOffsetsAreRefusedWithTheirReason) {
  const std::vector<std::uint8_t> good = buildBmp(paletteSpec(8, 4, 4, 3));
  const auto patched = [&](std::size_t at, std::uint32_t value) {
    std::vector<std::uint8_t> file = good;
    testing::putLittleEndian(file, at, value, 4);
    return file;
  };
  EXPECT_EQ(
      refusal(patched(10, static_cast<std::uint32_t>(good.size()))),
      "BMP pixel data offset " + std::to_string(good.size()) + " lies beyond the end of the file");
  EXPECT_EQ(refusal(patched(10, 0xFFFFFFF0)),
            "BMP pixel data offset 4294967280 lies beyond the end of the file");
  EXPECT_EQ(refusal(patched(10, 20)), "BMP pixel data offset 20 lies inside the header");
  EXPECT_EQ(refusal(patched(10, static_cast<std::uint32_t>(good.size() - 5))),
            "truncated BMP pixel data");
  EXPECT_EQ(refusal(patched(18, 0)), "BMP width 0 is not positive");
  EXPECT_EQ(refusal(patched(18, static_cast<std::uint32_t>(-4))), "BMP width -4 is not positive");
  EXPECT_EQ(refusal(patched(22, 0)), "BMP height is zero");
  EXPECT_EQ(refusal(patched(22, 0x80000000)), "4x2147483648 pixels exceeds the limit of 268435456");
  std::vector<std::uint8_t> enormous = patched(18, 70000);
  testing::putLittleEndian(enormous, 22, 70000, 4);
  EXPECT_EQ(refusal(enormous), "70000x70000 pixels exceeds the limit of 268435456");
  EXPECT_EQ(refusal(patched(46, 0xFFFFFFFF)),
            "BMP palette of 4294967295 colours is too large for 8 bits per pixel");
  EXPECT_EQ(refusal(patched(14, 0xFFFFFFFF)), "unsupported BMP header of 4294967295 bytes");
}

TEST(BmpDecoding, EveryCutOfTheFileIsRefused) {
  // Rows of four 8-bit pixels need no padding, so every byte is needed.
  const std::vector<std::uint8_t> file = buildBmp(paletteSpec(8, 4, 3, 5));
  const std::size_t paletteStart = 14 + 40;
  const std::size_t pixelStart = paletteStart + 4 * 256;
  for (std::size_t length = 0; length < file.size(); ++length) {
    const std::vector<std::uint8_t> cut(file.begin(), file.begin() + length);
    const std::string reason = refusal(cut);
    if (length < 2) {
      EXPECT_EQ(reason, "not a BMP picture");
    } else if (length < paletteStart) {
      ASSERT_EQ(reason, "truncated BMP header") << length;
    } else if (length <= pixelStart) {
      ASSERT_EQ(reason, "BMP pixel data offset 1078 lies beyond the end of the file") << length;
    } else {
      ASSERT_EQ(reason, "truncated BMP pixel data") << length;
    }
  }
}

TEST(BmpDecoding, TheLastRowMayLackItsPaddingOnlyWhereTheHeadersSaySo) {
  const BmpSpec spec = paletteSpec(8, 3, 2, 9);
  std::vector<std::uint8_t> file = buildBmp(spec);
  file.pop_back();
  // Shorter than the file size it declares, the file lost its end.
  EXPECT_EQ(refusal(file), "truncated BMP pixel data");
  const std::uint32_t pixelStart = file[10] | file[11] << 8;
  testing::putLittleEndian(file, 2, static_cast<std::uint32_t>(file.size()), 4);
  testing::putLittleEndian(file, 34, static_cast<std::uint32_t>(file.size()) - pixelStart, 4);
  const Picture picture = decodeOrFail(file);
  for (std::size_t i = 0; i < spec.pixels.size(); ++i) {
    expectPixel(picture, i, spec.palette[spec.pixels[i]]);
  }
  testing::putLittleEndian(file, 34, static_cast<std::uint32_t>(file.size()), 4);
  EXPECT_EQ(refusal(file), "truncated BMP pixel data");
  file.pop_back();
  testing::putLittleEndian(file, 2, static_cast<std::uint32_t>(file.size()), 4);
  testing::putLittleEndian(file, 34, 0, 4);
  EXPECT_EQ(refusal(file), "truncated BMP pixel data");
}

TEST(BmpDecoding, ThePaletteEndsWhereThePixelsBegin) {
  // Core headers announce no count: sixteen entries before the pixels of
  // an 8-bit picture make a palette of sixteen colours.
  BmpSpec spec = paletteSpec(4, 5, 3, 21);
  spec.headerSize = 12;
  spec.bitsPerPixel = 8;
  const Picture picture = decodeOrFail(buildBmp(spec));
  for (std::size_t i = 0; i < spec.pixels.size(); ++i) {
    expectPixel(picture, i, spec.palette[spec.pixels[i]]);
  }
  spec.pixels[7] = 16;
  EXPECT_EQ(refusal(buildBmp(spec)), "BMP pixel index 16 lies outside the palette of 16 colours");
  spec.palette.clear();
  EXPECT_EQ(refusal(buildBmp(spec)), "the BMP palette is missing");
}

TEST(BmpDecoding, IndicesBeyondThePaletteAreRefused) {
  BmpSpec spec = paletteSpec(4, 2, 1, 1);
  spec.palette.resize(2);
  spec.coloursUsed = 2;
  spec.pixels = {1, 5};
  EXPECT_EQ(refusal(buildBmp(spec)), "BMP pixel index 5 lies outside the palette of 2 colours");
}

TEST(BmpEncoding, WritesAnUncompressedBottomUpTwentyFourBitFile) {
  Picture picture;
  picture.width = 2;
  picture.height = 2;
  picture.rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::vector<std::uint8_t> file;
  std::string reason;
  ASSERT_TRUE(encodeBmp(picture, file, reason)) << reason;
  // Rows of 6 bytes padded to 8; the bottom row comes first, blue first.
  const std::vector<std::uint8_t> pixels = {9, 8, 7, 12, 11, 10, 0, 0, 3, 2, 1, 6, 5, 4, 0, 0};
  ASSERT_EQ(file.size(), 54u + pixels.size());
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  const auto field = [&](std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | file[at + i];
    return v;
  };
  EXPECT_EQ(field(2, 4), file.size());
  EXPECT_EQ(field(10, 4), 54u);
  EXPECT_EQ(field(14, 4), 40u);
  EXPECT_EQ(field(18, 4), 2u);
  EXPECT_EQ(field(22, 4), 2u);
  EXPECT_EQ(field(26, 2), 1u);
  EXPECT_EQ(field(28, 2), 24u);
  EXPECT_EQ(field(30, 4), 0u);
  EXPECT_EQ(field(34, 4), pixels.size());
  EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 54, file.end()), pixels);
}

TEST(BmpEncoding, RoundTripKeepsEveryByteAtManySizes) {
  std::mt19937 random(17);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int width : {1, 2, 3, 4, 5, 64}) {
    for (int height : {1, 2, 17}) {
      Picture picture;
      picture.width = width;
      picture.height = height;
      picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
      for (auto& b : picture.rgb) b = static_cast<std::uint8_t>(byte(random));
      std::vector<std::uint8_t> file;
      std::string reason;
      ASSERT_TRUE(encodeBmp(picture, file, reason)) << reason;
      const Picture back = decodeOrFail(file);
      EXPECT_EQ(back.width, width);
      EXPECT_EQ(back.height, height);
      EXPECT_EQ(back.rgb, picture.rgb);
      EXPECT_TRUE(back.trueColour);
      EXPECT_FALSE(back.hasAlpha);
    }
  }
}

}  // namespace
}  // namespace kestrel
