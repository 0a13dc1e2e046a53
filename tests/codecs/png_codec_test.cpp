#include "codecs/png_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/codecs/picture_builders.h"

namespace kestrel {
namespace {

using testing::buildPng;
using testing::PngSpec;

constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;

Picture decodeOrFail(const std::vector<std::uint8_t>& file) {
  Picture picture;
  std::string reason;
  EXPECT_TRUE(decodePng(file.data(), file.size(), kLimit, picture, reason)) << reason;
  return picture;
}

std::string refusal(const std::vector<std::uint8_t>& file) {
  Picture picture;
  std::string reason;
  EXPECT_FALSE(decodePng(file.data(), file.size(), kLimit, picture, reason));
  EXPECT_TRUE(picture.rgb.empty());
  return reason;
}

std::vector<std::uint16_t> randomSamples(std::size_t count, int depth, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> level(0, (1 << depth) - 1);
  std::vector<std::uint16_t> samples(count);
  for (auto& s : samples) s = static_cast<std::uint16_t>(level(random));
  return samples;
}

// The 8-bit value nearest to a sample of the given depth.
std::uint8_t nearestByte(std::uint16_t sample, int depth) {
  return static_cast<std::uint8_t>(std::lround(sample * 255.0 / ((1 << depth) - 1)));
}

TEST(PngDecoding, GreyOfEveryDepthGivesEqualComponents) {
  for (int depth : {1, 2, 4, 8, 16}) {
    PngSpec spec;
    spec.width = 13;
    spec.height = 5;
    spec.colourType = PNG_COLOR_TYPE_GRAY;
    spec.depth = depth;
    spec.samples = randomSamples(13 * 5, depth, depth);
    const Picture picture = decodeOrFail(buildPng(spec));
    ASSERT_EQ(picture.width, 13);
    ASSERT_EQ(picture.height, 5);
    EXPECT_FALSE(picture.trueColour);
    EXPECT_FALSE(picture.hasAlpha);
    EXPECT_EQ(picture.bitsPerPixel, depth == 16 ? 8 : depth);
    for (std::size_t i = 0; i < spec.samples.size(); ++i) {
      const std::uint8_t expected = nearestByte(spec.samples[i], depth);
      for (int c = 0; c < 3; ++c) ASSERT_EQ(picture.rgb[3 * i + c], expected) << depth << " " << i;
    }
  }
}

TEST(PngDecoding, SixteenBitSamplesBecomeTheNearestByte) {
  // Values on both sides of each rounding boundary k * 257 +- 128.
  PngSpec spec;
  spec.width = 6;
  spec.colourType = PNG_COLOR_TYPE_RGB;
  spec.depth = 16;
  spec.samples = {0,     128,   129,   257,  385,  386,  32767, 32896, 65278,
                  65279, 65534, 65535, 1000, 2000, 3000, 40000, 50000, 60000};
  const Picture picture = decodeOrFail(buildPng(spec));
  EXPECT_TRUE(picture.trueColour);
  EXPECT_EQ(picture.bitsPerPixel, 24);
  for (std::size_t i = 0; i < spec.samples.size(); ++i) {
    EXPECT_EQ(picture.rgb[i], nearestByte(spec.samples[i], 16)) << spec.samples[i];
  }
}

TEST(PngDecoding, SixteenBitSamplesAreKeptWholeForGreyAndColour) {
  PngSpec colour;
  colour.width = 3;
  colour.colourType = PNG_COLOR_TYPE_RGB_ALPHA;
  colour.depth = 16;
  colour.samples = {0, 1, 65535, 9, 257, 32768, 65534, 7, 40000, 12345, 2, 65535};
  const Picture rgba = decodeOrFail(buildPng(colour));
  EXPECT_EQ(rgba.deep, (std::vector<std::uint16_t>{0, 1, 65535, 257, 32768, 65534, 40000, 12345,
                                                   2}));
  PngSpec grey;
  grey.width = 2;
  grey.colourType = PNG_COLOR_TYPE_GRAY;
  grey.depth = 16;
  grey.samples = {300, 65000};
  EXPECT_EQ(decodeOrFail(buildPng(grey)).deep,
            (std::vector<std::uint16_t>{300, 300, 300, 65000, 65000, 65000}));
  grey.depth = 8;
  grey.samples = {3, 250};
  EXPECT_TRUE(decodeOrFail(buildPng(grey)).deep.empty());
}

TEST(PngEncoding, SixteenBitPicturesRoundTripExactly) {
  Picture picture;
  picture.width = 5;
  picture.height = 3;
  picture.rgb.assign(5 * 3 * 3, 0);
  for (std::size_t i = 0; i < picture.rgb.size(); ++i) {
    picture.deep.push_back(static_cast<std::uint16_t>((i * 4099 + 17) % 65536));
  }
  std::vector<std::uint8_t> file;
  std::string reason;
  ASSERT_TRUE(encodePng(picture, file, reason)) << reason;
  EXPECT_EQ(file[8 + 8 + 8], 16) << "IHDR bit depth";
  EXPECT_EQ(decodeOrFail(file).deep, picture.deep);
}

TEST(PngDecoding, GreyAlphaKeepsTheGreyLevelAndReportsAlpha) {
  PngSpec spec;
  spec.width = 3;
  spec.colourType = PNG_COLOR_TYPE_GRAY_ALPHA;
  spec.samples = {10, 255, 120, 0, 250, 77};
  const Picture picture = decodeOrFail(buildPng(spec));
  EXPECT_FALSE(picture.trueColour);
  EXPECT_TRUE(picture.hasAlpha);
  const std::vector<std::uint8_t> expected = {10, 10, 10, 120, 120, 120, 250, 250, 250};
  EXPECT_EQ(picture.rgb, expected);
}

TEST(PngDecoding, RgbaKeepsColoursWhereverAlphaIsAndReportsAlpha) {
  PngSpec spec;
  spec.width = 2;
  spec.colourType = PNG_COLOR_TYPE_RGB_ALPHA;
  spec.samples = {200, 100, 50, 0, 1, 2, 3, 255};
  const Picture picture = decodeOrFail(buildPng(spec));
  EXPECT_TRUE(picture.trueColour);
  EXPECT_TRUE(picture.hasAlpha);
  EXPECT_EQ(picture.bitsPerPixel, 32);
  const std::vector<std::uint8_t> expected = {200, 100, 50, 1, 2, 3};
  EXPECT_EQ(picture.rgb, expected);
}

TEST(PngDecoding, PaletteOfEveryDepthLooksUpColoursWithAndWithoutTransparency) {
  for (int depth : {1, 2, 4, 8}) {
    for (bool transparency : {false, true}) {
      PngSpec spec;
      spec.width = 11;
      spec.height = 3;
      spec.colourType = PNG_COLOR_TYPE_PALETTE;
      spec.depth = depth;
      const int colours = 1 << depth;
      for (int i = 0; i < colours; ++i) {
        spec.palette.push_back({static_cast<png_byte>(i * 7 + 1), static_cast<png_byte>(255 - i),
                                static_cast<png_byte>(i * 3)});
      }
      if (transparency) spec.paletteAlpha = {0, 128};
      spec.samples = randomSamples(11 * 3, depth, 40 + depth);
      const Picture picture = decodeOrFail(buildPng(spec));
      EXPECT_FALSE(picture.trueColour);
      EXPECT_EQ(picture.hasAlpha, transparency);
      EXPECT_EQ(picture.bitsPerPixel, depth);
      for (std::size_t i = 0; i < spec.samples.size(); ++i) {
        const png_color colour = spec.palette[spec.samples[i]];
        ASSERT_EQ(picture.rgb[3 * i], colour.red) << depth << " " << i;
        ASSERT_EQ(picture.rgb[3 * i + 1], colour.green);
        ASSERT_EQ(picture.rgb[3 * i + 2], colour.blue);
      }
    }
  }
}

TEST(PngDecoding, AColourKeyOnRgbIsNotAnAlphaChannel) {
  PngSpec spec;
  spec.width = 2;
  spec.samples = {0, 0, 0, 9, 8, 7};
  spec.colourKey = true;
  const Picture picture = decodeOrFail(buildPng(spec));
  EXPECT_TRUE(picture.trueColour);
  EXPECT_FALSE(picture.hasAlpha);
  const std::vector<std::uint8_t> expected = {0, 0, 0, 9, 8, 7};
  EXPECT_EQ(picture.rgb, expected);
}

TEST(PngDecoding, InterlacedPicturesDecodeLikeSequentialOnes) {
  for (int colourType : {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
    PngSpec spec;
    spec.width = 19;
    spec.height = 10;
    spec.colourType = colourType;
    spec.samples = randomSamples(19 * 10 * testing::pngChannels(colourType), 8, colourType);
    const Picture sequential = decodeOrFail(buildPng(spec));
    spec.interlaced = true;
    const std::vector<std::uint8_t> file = buildPng(spec);
    ASSERT_EQ(file[8 + 8 + 12], 1) << "the builder did not interlace";
    EXPECT_EQ(decodeOrFail(file).rgb, sequential.rgb) << colourType;
  }
}

TEST(PngEncoding, RoundTripKeepsEveryByteAndRowAtManySizes) {
  std::mt19937 random(3);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int width : {1, 2, 7, 64}) {
    for (int height : {1, 3, 33}) {
      Picture picture;
      picture.width = width;
      picture.height = height;
      picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
      for (auto& b : picture.rgb) b = static_cast<std::uint8_t>(byte(random));
      std::vector<std::uint8_t> file;
      std::string reason;
      ASSERT_TRUE(encodePng(picture, file, reason)) << reason;
      const Picture back = decodeOrFail(file);
      EXPECT_EQ(back.width, width);
      EXPECT_EQ(back.height, height);
      EXPECT_EQ(back.rgb, picture.rgb);
      EXPECT_TRUE(back.trueColour);
      EXPECT_FALSE(back.hasAlpha);
      EXPECT_EQ(back.bitsPerPixel, 24);
    }
  }
}

std::vector<std::uint8_t> smallRgbPng() {
  PngSpec spec;
  spec.width = 16;
  spec.height = 16;
  spec.samples = randomSamples(16 * 16 * 3, 8, 99);
  return buildPng(spec);
}

TEST(PngDecoding, EveryCutBeforeTheEndChunkIsRefusedAsTruncated) {
  const std::vector<std::uint8_t> file = smallRgbPng();
  const std::size_t endChunk = testing::findPngChunk(file, "IEND");
  ASSERT_GT(endChunk, 0u);
  for (std::size_t length = 8; length < endChunk; ++length) {
    const std::vector<std::uint8_t> cut(file.begin(), file.begin() + length);
    ASSERT_EQ(refusal(cut), "truncated PNG data") << length;
  }
  for (std::size_t length = 0; length < 8; ++length) {
    const std::vector<std::uint8_t> cut(file.begin(), file.begin() + length);
    EXPECT_EQ(refusal(cut), "not a PNG picture") << length;
  }
}

TEST(PngDecoding, DamagedChunksAreRefusedWithLibpngsReason) {
  std::vector<std::uint8_t> file = smallRgbPng();
  const std::size_t data = testing::findPngChunk(file, "IDAT");
  ASSERT_GT(data, 0u);
  // The compressed stream is inflated before the chunk's CRC is checked.
  file[data + 8 + 5] ^= 0x5A;
  EXPECT_EQ(refusal(file).rfind("corrupt PNG data (IDAT: ", 0), 0u);

  file = smallRgbPng();
  file[8 + 8 + 13] ^= 0x01;
  EXPECT_EQ(refusal(file), "corrupt PNG data (IHDR: CRC error)");
}

TEST(PngDecoding, AnnouncedSizesBeyondTheLimitAreRefusedBeforeDecoding) {
  std::vector<std::uint8_t> file = smallRgbPng();
  testing::announcePngSize(file, 70000, 70000);
  EXPECT_EQ(refusal(file), "70000x70000 pixels exceeds the limit of 268435456");
  testing::announcePngSize(file, 0x7FFFFFFF, 1);
  EXPECT_EQ(refusal(file), "2147483647x1 pixels exceeds the limit of 268435456");
  testing::announcePngSize(file, 16384, 16385);
  EXPECT_EQ(refusal(file), "16384x16385 pixels exceeds the limit of 268435456");
}

TEST(PngDecoding, WarningsStayOffTheConsole) {
  // A damaged CRC on an ancillary chunk only draws a libpng warning.
  PngSpec spec;
  spec.width = 4;
  spec.samples = randomSamples(12, 8, 5);
  spec.colourKey = true;
  std::vector<std::uint8_t> file = buildPng(spec);
  const std::size_t key = testing::findPngChunk(file, "tRNS");
  ASSERT_GT(key, 0u);
  file[key + 8 + 6 + 1] ^= 0xFF;
  ::testing::internal::CaptureStderr();
  const Picture picture = decodeOrFail(file);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(picture.width, 4);
}

}  // namespace
}  // namespace kestrel
