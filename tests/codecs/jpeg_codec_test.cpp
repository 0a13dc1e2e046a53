#include "codecs/jpeg_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "tests/codecs/picture_builders.h"

namespace kestrel {
namespace {

using testing::buildJpeg;
using testing::JpegSpec;

constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;

// Quantisation at quality 90 moves each sample of a smooth picture by a few
// levels; rounding in the colour conversion adds one or two. A decoder that
// swapped channels or rows would miss by tens of levels.
constexpr int kJpegMaxError = 12;
constexpr double kJpegMeanError = 2.0;
// Pictures made with libjpeg's default 2x2 chroma subsampling also lose
// half the colour resolution, which on these gradients costs up to twice
// as much.
constexpr int kSubsampledMaxError = 24;
constexpr double kSubsampledMeanError = 4.0;

// Smooth, different in each channel, so that swaps and flips show.
std::vector<std::uint8_t> smoothSamples(int width, int height, int components) {
  std::vector<std::uint8_t> samples;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < components; ++c) {
        const double v = 128 + 100 * std::sin(0.09 * (c + 1) * x + 0.05 * y + c) *
                                   std::cos(0.07 * y - 0.02 * c * x);
        samples.push_back(static_cast<std::uint8_t>(std::lround(v)));
      }
    }
  }
  return samples;
}

Picture decodeOrFail(const std::vector<std::uint8_t>& file) {
  Picture picture;
  std::string reason;
  EXPECT_TRUE(decodeJpeg(file.data(), file.size(), kLimit, picture, reason)) << reason;
  return picture;
}

std::string refusal(const std::vector<std::uint8_t>& file) {
  Picture picture;
  std::string reason;
  EXPECT_FALSE(decodeJpeg(file.data(), file.size(), kLimit, picture, reason));
  EXPECT_TRUE(picture.rgb.empty());
  return reason;
}

// Compares a decoded picture with the samples it was made from; a grey
// source is expected in all three components.
void expectClose(const Picture& picture, const std::vector<std::uint8_t>& samples, int components,
                 int maxError = kJpegMaxError, double meanError = kJpegMeanError) {
  const std::size_t pixels = static_cast<std::size_t>(picture.width) * picture.height;
  ASSERT_EQ(picture.rgb.size(), pixels * 3);
  ASSERT_EQ(samples.size(), pixels * components);
  int worst = 0;
  double total = 0;
  for (std::size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) {
      const int error = std::abs(picture.rgb[3 * i + c] - samples[components * i + c % components]);
      worst = std::max(worst, error);
      total += error;
    }
  }
  EXPECT_LE(worst, maxError);
  EXPECT_LE(total / (3.0 * pixels), meanError);
}

JpegSpec colourSpec(int width, int height) {
  JpegSpec spec;
  spec.width = width;
  spec.height = height;
  spec.samples = smoothSamples(width, height, 3);
  return spec;
}

TEST(JpegDecoding, BaselineAndProgressiveColourPicturesDecodeCloseToTheirSource) {
  for (bool progressive : {false, true}) {
    JpegSpec spec = colourSpec(48, 40);
    spec.progressive = progressive;
    const std::vector<std::uint8_t> file = buildJpeg(spec);
    ASSERT_EQ(testing::findJpegMarker(file, progressive ? 0xC2 : 0xC0) > 0, true);
    const Picture picture = decodeOrFail(file);
    EXPECT_EQ(picture.width, 48);
    EXPECT_EQ(picture.height, 40);
    EXPECT_TRUE(picture.trueColour);
    EXPECT_FALSE(picture.hasAlpha);
    EXPECT_EQ(picture.bitsPerPixel, 24);
    expectClose(picture, spec.samples, 3, kSubsampledMaxError, kSubsampledMeanError);
  }
}

TEST(JpegDecoding, GreyPicturesGiveEqualComponentsAndAreNotTrueColour) {
  for (bool progressive : {false, true}) {
    JpegSpec spec;
    spec.width = 37;
    spec.height = 21;
    spec.components = 1;
    spec.input = JCS_GRAYSCALE;
    spec.progressive = progressive;
    spec.samples = smoothSamples(37, 21, 1);
    const Picture picture = decodeOrFail(buildJpeg(spec));
    EXPECT_FALSE(picture.trueColour);
    EXPECT_EQ(picture.bitsPerPixel, 8);
    for (std::size_t i = 0; i < picture.rgb.size(); i += 3) {
      ASSERT_EQ(picture.rgb[i], picture.rgb[i + 1]);
      ASSERT_EQ(picture.rgb[i], picture.rgb[i + 2]);
    }
    expectClose(picture, spec.samples, 1);
  }
}

TEST(JpegDecoding, RgbStoredWithoutColourTransformDecodes) {
  JpegSpec spec = colourSpec(16, 16);
  spec.stored = JCS_RGB;
  expectClose(decodeOrFail(buildJpeg(spec)), spec.samples, 3, kSubsampledMaxError,
              kSubsampledMeanError);
}

TEST(JpegDecoding, CmykAndYcckPicturesAreRefused) {
  for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
    JpegSpec spec;
    spec.width = 8;
    spec.height = 8;
    spec.components = 4;
    spec.input = JCS_CMYK;
    spec.stored = stored;
    spec.samples = smoothSamples(8, 8, 4);
    EXPECT_EQ(refusal(buildJpeg(spec)), "CMYK JPEG pictures are not supported");
  }
}

TEST(JpegDecoding, EveryCutOfTheFileIsRefusedAsTruncated) {
  for (bool progressive : {false, true}) {
    JpegSpec spec = colourSpec(24, 16);
    spec.progressive = progressive;
    const std::vector<std::uint8_t> file = buildJpeg(spec);
    // Everything but the closing marker; the last cut still lacks data
    // that the entropy decoder reads ahead for.
    for (std::size_t length = 2; length + 2 < file.size(); ++length) {
      const std::vector<std::uint8_t> cut(file.begin(), file.begin() + length);
      ASSERT_EQ(refusal(cut), "truncated JPEG data") << progressive << " " << length;
    }
  }
}

TEST(JpegDecoding, DamagedDataIsRefusedWithLibjpegsReason) {
  std::vector<std::uint8_t> file = buildJpeg(colourSpec(32, 32));
  const std::size_t frame = testing::findJpegMarker(file, 0xC0);
  ASSERT_GT(frame, 0u);
  std::vector<std::uint8_t> precision = file;
  precision[frame + 4] = 12;
  EXPECT_EQ(refusal(precision), "corrupt JPEG data (Unsupported JPEG data precision 12)");

  // A restart marker where no restart interval was declared ends the scan's
  // data early.
  const std::size_t scan = testing::findJpegMarker(file, 0xDA);
  ASSERT_GT(scan, 0u);
  std::vector<std::uint8_t> marker = file;
  marker[scan + 40] = 0xFF;
  marker[scan + 41] = 0xD0;
  EXPECT_EQ(refusal(marker), "corrupt JPEG data (premature end of data segment)");
}

TEST(JpegDecoding, HarmlessWarningsNeitherFailNorPrint) {
  JpegSpec spec = colourSpec(16, 16);
  std::vector<std::uint8_t> file = buildJpeg(spec);
  // Stray bytes between two markers only draw a warning.
  const std::size_t frame = testing::findJpegMarker(file, 0xC0);
  file.insert(file.begin() + frame, {0x12, 0x34, 0x56});
  ::testing::internal::CaptureStderr();
  const Picture picture = decodeOrFail(file);
  std::vector<std::uint8_t> cut(file.begin(), file.begin() + file.size() / 2);
  refusal(cut);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  expectClose(picture, spec.samples, 3, kSubsampledMaxError, kSubsampledMeanError);
}

TEST(JpegDecoding, AnnouncedSizesBeyondTheLimitAreRefusedBeforeDecoding) {
  std::vector<std::uint8_t> file = buildJpeg(colourSpec(16, 16));
  const std::size_t frame = testing::findJpegMarker(file, 0xC0);
  file[frame + 5] = 65000 >> 8;
  file[frame + 6] = 65000 & 0xFF;
  file[frame + 7] = 65000 >> 8;
  file[frame + 8] = 65000 & 0xFF;
  EXPECT_EQ(refusal(file), "65000x65000 pixels exceeds the limit of 268435456");
}

TEST(JpegDecoding, OtherBytesAreNotAJpeg) {
  const std::vector<std::uint8_t> bytes = {'B', 'M', 0, 0};
  EXPECT_EQ(refusal(bytes), "not a JPEG picture");
  EXPECT_EQ(refusal({0xFF}), "not a JPEG picture");
}

TEST(JpegEncoding, RoundTripStaysCloseAndKeepsTheSize) {
  for (int width : {1, 9, 64}) {
    for (int height : {1, 8, 23}) {
      Picture picture;
      picture.width = width;
      picture.height = height;
      picture.rgb = smoothSamples(width, height, 3);
      std::vector<std::uint8_t> file;
      std::string reason;
      ASSERT_TRUE(encodeJpeg(picture, file, reason)) << reason;
      const Picture back = decodeOrFail(file);
      EXPECT_EQ(back.width, width);
      EXPECT_EQ(back.height, height);
      expectClose(back, picture.rgb, 3);
    }
  }
}

// The example tables of the JPEG standard, in natural order; libjpeg scales
// them by 200 - 2 * quality percent for qualities of 50 and above.
constexpr int kLuminanceTable[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                     58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                     22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                     77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                     103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
constexpr int kChrominanceTable[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

TEST(JpegEncoding, WritesQualityNinetyWithFullResolutionColour) {
  Picture picture;
  picture.width = 16;
  picture.height = 16;
  picture.rgb = smoothSamples(16, 16, 3);
  std::vector<std::uint8_t> file;
  std::string reason;
  ASSERT_TRUE(encodeJpeg(picture, file, reason)) << reason;

  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), file.size());
  ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
  EXPECT_FALSE(cinfo.progressive_mode);
  ASSERT_EQ(cinfo.num_components, 3);
  const int scale = 200 - 2 * kJpegQuality;
  const int* tables[2] = {kLuminanceTable, kChrominanceTable};
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(cinfo.comp_info[c].h_samp_factor, 1);
    EXPECT_EQ(cinfo.comp_info[c].v_samp_factor, 1);
    const JQUANT_TBL* table = cinfo.quant_tbl_ptrs[cinfo.comp_info[c].quant_tbl_no];
    ASSERT_NE(table, nullptr);
    for (int k = 0; k < 64; ++k) {
      const int expected = std::max(1, (tables[c == 0 ? 0 : 1][k] * scale + 50) / 100);
      EXPECT_EQ(table->quantval[k], expected) << c << " " << k;
    }
  }
  jpeg_destroy_decompress(&cinfo);
}

TEST(JpegEncoding, SameInputGivesTheSameBytes) {
  Picture picture;
  picture.width = 20;
  picture.height = 12;
  picture.rgb = smoothSamples(20, 12, 3);
  std::vector<std::uint8_t> first, second;
  std::string reason;
  ASSERT_TRUE(encodeJpeg(picture, first, reason));
  ASSERT_TRUE(encodeJpeg(picture, second, reason));
  EXPECT_EQ(first, second);
}

}  // namespace
}  // namespace kestrel
