#include "app/image_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <set>

#include "tests/codecs/picture_builders.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// A JPEG at quality 90 of a smooth picture stays within a few levels of it
// (quantisation plus colour-conversion rounding); swapped channels or rows
// would miss by tens of levels.
constexpr double kJpegMaxError = 12.0 / 255.0;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* root = std::getenv("KESTREL_TEST_TMP");
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(root ? root : fs::temp_directory_path().string()) /
           (std::string("image_io_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::set<std::string> filesInDir() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
};

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

LoadedPlanes loadOrFail(const std::string& path, RowOrder order = RowOrder::TopDown) {
  LoadedPlanes image;
  std::string error;
  EXPECT_TRUE(loadImagePlanes(path, image, error, order)) << error;
  return image;
}

// Planes of random bytes k / 255, so that saving is exact.
std::vector<double> randomPlanes(int width, int height, int channels, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<double> planes(static_cast<std::size_t>(width) * height * channels);
  for (double& v : planes) v = byte(random) / 255.0;
  return planes;
}

TEST(FormatFromPath, ComparesTheLastThreeCharactersExactly) {
  EXPECT_EQ(formatFromPath("boat.png"), ImageFormat::Png);
  EXPECT_EQ(formatFromPath("dir/boat.jpg"), ImageFormat::Jpeg);
  EXPECT_EQ(formatFromPath("boat.bmp"), ImageFormat::Bmp);
  EXPECT_EQ(formatFromPath("png"), ImageFormat::Png);
  EXPECT_EQ(formatFromPath("xbmp"), ImageFormat::Bmp);
  EXPECT_EQ(formatFromPath("boat.PNG"), ImageFormat::None);
  EXPECT_EQ(formatFromPath("boat.jpeg"), ImageFormat::None);
  EXPECT_EQ(formatFromPath("boat.png "), ImageFormat::None);
  EXPECT_EQ(formatFromPath("ng"), ImageFormat::None);
  EXPECT_EQ(formatFromPath(""), ImageFormat::None);
}

TEST_F(ImageFileTest, SavingConvertsSamplesByClampingAndTruncating) {
  const std::vector<double> samples = {-0.1, 0,         0.5,        1,     1.7,
                                       kNaN, kInfinity, -kInfinity, 0.999, 1e-9};
  const std::vector<int> bytes = {0, 0, 127, 255, 255, 0, 255, 0, 254, 0};
  for (const char* name : {"conversion.png", "conversion.bmp"}) {
    std::string error;
    ASSERT_TRUE(saveImagePlanes(samples.data(), 10, 1, 1, path(name), error)) << error;
    const LoadedPlanes image = loadOrFail(path(name));
    ASSERT_EQ(image.channels, 3);
    for (int c = 0; c < 3; ++c) {
      for (int i = 0; i < 10; ++i) EXPECT_EQ(image.planes[c * 10 + i], bytes[i] / 255.0) << i;
    }
  }
}

TEST_F(ImageFileTest, EveryByteSurvivesLoadingAndSavingAgain) {
  std::vector<double> planes(256);
  for (int k = 0; k < 256; ++k) planes[k] = k / 255.0;
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 16, 16, 1, path("levels.png"), error)) << error;
  const LoadedPlanes image = loadOrFail(path("levels.png"));
  for (int k = 0; k < 256; ++k) EXPECT_EQ(image.planes[k], k / 255.0) << k;
}

TEST_F(ImageFileTest, PngAndBmpRoundTripsKeepEveryByteAndTheRowOrder) {
  for (const char* ending : {"png", "bmp"}) {
    for (int width : {1, 3, 64}) {
      for (int height : {1, 2, 37}) {
        for (int channels : {1, 3}) {
          const std::vector<double> planes = randomPlanes(width, height, channels, width + height);
          const std::string file = path(std::string("round.") + ending);
          std::string error;
          ASSERT_TRUE(saveImagePlanes(planes.data(), width, height, channels, file, error))
              << error;
          const LoadedPlanes image = loadOrFail(file);
          ASSERT_EQ(image.width, width);
          ASSERT_EQ(image.height, height);
          // A grey picture is written as 24-bit RGB, so it reads back as
          // three equal planes.
          ASSERT_EQ(image.channels, 3);
          const std::size_t plane = static_cast<std::size_t>(width) * height;
          for (int c = 0; c < 3; ++c) {
            const int source = channels == 1 ? 0 : c;
            for (std::size_t i = 0; i < plane; ++i) {
              ASSERT_EQ(image.planes[c * plane + i], planes[source * plane + i])
                  << ending << " " << width << "x" << height << " " << c << " " << i;
            }
          }
        }
      }
    }
  }
}

TEST_F(ImageFileTest, JpegRoundTripStaysWithinTheQuantisationError) {
  const int width = 40, height = 24;
  std::vector<double> planes(static_cast<std::size_t>(width) * height * 3);
  for (int c = 0; c < 3; ++c) {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        planes[(c * height + y) * width + x] = 0.5 + 0.4 * std::sin(0.1 * (c + 1) * x + 0.13 * y);
      }
    }
  }
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), width, height, 3, path("smooth.jpg"), error)) << error;
  const LoadedPlanes image = loadOrFail(path("smooth.jpg"));
  ASSERT_EQ(image.channels, 3);
  ASSERT_EQ(image.planes.size(), planes.size());
  for (std::size_t i = 0; i < planes.size(); ++i) {
    ASSERT_NEAR(image.planes[i], planes[i], kJpegMaxError) << i;
  }
}

TEST_F(ImageFileTest, KernelModeOneSpansTheKernelsOwnRange) {
  const std::vector<double> kernel = {0, 0.25, 0.5};
  std::string error;
  ASSERT_TRUE(saveKernelImage(kernel.data(), 3, 1, path("k.png"), 1, error)) << error;
  LoadedPlanes image = loadOrFail(path("k.png"));
  const std::vector<double> expected = {0, 127 / 255.0, 1};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(image.planes[i], expected[i]) << i;

  // NaN entries are passed over when finding the range and written black.
  const std::vector<double> withNaN = {kNaN, -2, 2, 0};
  ASSERT_TRUE(saveKernelImage(withNaN.data(), 2, 2, path("k.png"), 1, error)) << error;
  image = loadOrFail(path("k.png"));
  const std::vector<double> expectedNaN = {0, 0, 1, 127 / 255.0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(image.planes[i], expectedNaN[i]) << i;

  // The range always includes 1e6 below and -1e6 above.
  const std::vector<double> large = {2e6, 3e6};
  ASSERT_TRUE(saveKernelImage(large.data(), 2, 1, path("k.png"), 1, error)) << error;
  image = loadOrFail(path("k.png"));
  EXPECT_EQ(image.planes[0], 127 / 255.0);
  EXPECT_EQ(image.planes[1], 1.0);
}

TEST_F(ImageFileTest, KernelsWithoutRangeOrWithOtherModesAreBlack) {
  const std::vector<double> flat(12, 0.3);
  const std::vector<double> varied = {0.1, 0.9, 0.5, 0.7};
  const struct {
    const std::vector<double>* kernel;
    int mode;
  } cases[] = {{&flat, 1}, {&varied, 2}, {&varied, -1}};
  for (const auto& test : cases) {
    std::string error;
    ASSERT_TRUE(saveKernelImage(test.kernel->data(), 2, static_cast<int>(test.kernel->size()) / 2,
                                path("black.bmp"), test.mode, error))
        << error;
    for (double v : loadOrFail(path("black.bmp")).planes) ASSERT_EQ(v, 0.0) << test.mode;
  }
}

TEST_F(ImageFileTest, KernelModeZeroConvertsLikeSaving) {
  const std::vector<double> kernel = {-0.1, 0, 0.5, 1, 1.7, kNaN};
  std::string error;
  ASSERT_TRUE(saveKernelImage(kernel.data(), 3, 2, path("k0.png"), 0, error)) << error;
  const LoadedPlanes image = loadOrFail(path("k0.png"));
  const std::vector<int> bytes = {0, 0, 127, 255, 255, 0};
  ASSERT_EQ(image.channels, 3);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(image.planes[12 + i], bytes[i] / 255.0) << i;
}

TEST_F(ImageFileTest, TheFormatFallbackReadsMisnamedPictures) {
  const std::vector<double> planes = randomPlanes(5, 4, 3, 1);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 5, 4, 3, path("a.jpg"), error)) << error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 5, 4, 3, path("a.png"), error)) << error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 5, 4, 3, path("a.bmp"), error)) << error;
  fs::rename(path("a.jpg"), path("jpeg-inside.png"));
  fs::copy_file(path("a.png"), path("upper.PNG"));
  fs::copy_file(path("a.png"), path("no-ending"));
  fs::copy_file(path("a.bmp"), path("bmp-inside.jpg"));
  const LoadedPlanes jpeg = loadOrFail(path("jpeg-inside.png"));
  EXPECT_EQ(jpeg.channels, 3);
  for (std::size_t i = 0; i < planes.size(); ++i) {
    // Random bytes are the worst case for JPEG, so only the size is checked.
    ASSERT_TRUE(jpeg.planes[i] >= 0 && jpeg.planes[i] <= 1);
  }
  EXPECT_EQ(jpeg.width, 5);
  EXPECT_EQ(loadOrFail(path("upper.PNG")).planes, planes);
  EXPECT_EQ(loadOrFail(path("no-ending")).planes, planes);
  EXPECT_EQ(loadOrFail(path("bmp-inside.jpg")).planes, planes);
}

TEST_F(ImageFileTest, BottomUpRowsKeepThePicturesOrientation) {
  // A 3x2 picture whose only white pixel is the top-left corner.
  const int width = 3, height = 2;
  std::vector<double> marked(width * height, 0.0);
  marked[0] = 1.0;
  std::string error;
  ASSERT_TRUE(saveImagePlanes(marked.data(), width, height, 1, path("mark.png"), error)) << error;

  const LoadedPlanes bottomUp = loadOrFail(path("mark.png"), RowOrder::BottomUp);
  // Plane row 0 is the picture's bottom row, so the mark is in the last row.
  EXPECT_EQ(bottomUp.planes[(height - 1) * width], 1.0);
  EXPECT_EQ(bottomUp.planes[0], 0.0);

  ASSERT_TRUE(saveImagePlanes(bottomUp.planes.data(), width, height, bottomUp.channels,
                              path("again.bmp"), error, RowOrder::BottomUp))
      << error;
  const LoadedPlanes topDown = loadOrFail(path("again.bmp"));
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < width * height; ++i) {
      EXPECT_EQ(topDown.planes[c * width * height + i], marked[i]) << c << " " << i;
    }
  }
}

struct ChannelCase {
  std::string name;
  std::vector<std::uint8_t> file;
  int channels;
  // Expected red bytes in picture order; empty for lossy files.
  std::vector<int> red;
};

std::vector<ChannelCase> everyKindOfPicture() {
  using namespace testing;
  std::vector<ChannelCase> cases;
  const auto png = [&](const std::string& name, int colourType, int depth, bool interlaced,
                       std::vector<std::uint16_t> samples, int channels, std::vector<int> red,
                       bool transparency = false) {
    PngSpec spec;
    spec.width = 2;
    spec.height = 2;
    spec.colourType = colourType;
    spec.depth = depth;
    spec.interlaced = interlaced;
    spec.samples = std::move(samples);
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
      spec.palette = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}};
      if (transparency) spec.paletteAlpha = {0};
    }
    cases.push_back({name, buildPng(spec), channels, std::move(red)});
  };
  png("grey.png", PNG_COLOR_TYPE_GRAY, 8, false, {1, 2, 3, 4}, 1, {1, 2, 3, 4});
  png("grey-alpha.png", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, {1, 0, 2, 9, 3, 99, 4, 255}, 1,
      {1, 2, 3, 4});
  png("palette.png", PNG_COLOR_TYPE_PALETTE, 8, false, {0, 1, 2, 1}, 1, {10, 40, 70, 40});
  png("palette-trns.png", PNG_COLOR_TYPE_PALETTE, 4, false, {2, 1, 0, 0}, 1, {70, 40, 10, 10},
      true);
  png("rgb.png", PNG_COLOR_TYPE_RGB, 8, false, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 3,
      {1, 4, 7, 10});
  png("rgb16.png", PNG_COLOR_TYPE_RGB, 16, false, {257, 0, 0, 514, 0, 0, 65535, 0, 0, 0, 0, 0}, 3,
      {1, 2, 255, 0});
  png("rgb-interlaced.png", PNG_COLOR_TYPE_RGB, 8, true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 3,
      {1, 4, 7, 10});
  png("rgba.png", PNG_COLOR_TYPE_RGB_ALPHA, 8, false,
      {200, 1, 2, 0, 100, 3, 4, 255, 50, 5, 6, 128, 25, 7, 8, 9}, 1, {200, 100, 50, 25});

  const auto bmp = [&](const std::string& name, int bits, std::uint32_t compression,
                       std::vector<std::uint32_t> masks, std::vector<std::uint32_t> pixels,
                       int channels, std::vector<int> red) {
    BmpSpec spec;
    spec.width = 2;
    spec.height = 2;
    spec.bitsPerPixel = bits;
    spec.compression = compression;
    spec.masks = std::move(masks);
    if (bits <= 8) spec.palette = {0x0A1424, 0x28323C};
    spec.coloursUsed = bits <= 8 ? 2 : 0;
    spec.pixels = std::move(pixels);
    cases.push_back({name, buildBmp(spec), channels, std::move(red)});
  };
  bmp("1bit.bmp", 1, 0, {}, {0, 1, 1, 0}, 1, {10, 40, 40, 10});
  bmp("4bit.bmp", 4, 0, {}, {1, 1, 0, 1}, 1, {40, 40, 10, 40});
  bmp("8bit.bmp", 8, 0, {}, {0, 0, 1, 0}, 1, {10, 10, 40, 10});
  bmp("16bit.bmp", 16, 0, {}, {0x7C00, 0, 0x7FFF, 0x03FF}, 3, {255, 0, 255, 0});
  bmp("24bit.bmp", 24, 0, {}, {0x010203, 0x040506, 0x070809, 0x0A0B0C}, 3, {1, 4, 7, 10});
  bmp("32bit.bmp", 32, 0, {}, {0xFF010203, 0x040506, 0x070809, 0x0A0B0C}, 3, {1, 4, 7, 10});
  bmp("32bit-alpha.bmp", 32, 6, {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
      {0xFF010203, 0x040506, 0x070809, 0x0A0B0C}, 1, {1, 4, 7, 10});

  const auto jpeg = [&](const std::string& name, int components, bool progressive, int channels) {
    JpegSpec spec;
    spec.width = 16;
    spec.height = 8;
    spec.components = components;
    spec.input = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    spec.progressive = progressive;
    spec.samples.assign(16 * 8 * components, 90);
    cases.push_back({name, buildJpeg(spec), channels, {}});
  };
  jpeg("grey.jpg", 1, false, 1);
  jpeg("colour.jpg", 3, false, 3);
  jpeg("progressive.jpg", 3, true, 3);
  return cases;
}

TEST_F(ImageFileTest, ThreePlanesOnlyForTrueColourWithoutAlphaElseTheRedComponent) {
  for (const ChannelCase& test : everyKindOfPicture()) {
    writeBytes(path(test.name), test.file);
    const LoadedPlanes image = loadOrFail(path(test.name));
    EXPECT_EQ(image.channels, test.channels) << test.name;
    ASSERT_EQ(image.planes.size(),
              static_cast<std::size_t>(image.width) * image.height * test.channels);
    for (std::size_t i = 0; i < test.red.size(); ++i) {
      EXPECT_EQ(image.planes[i], test.red[i] / 255.0) << test.name << " " << i;
    }
  }
}

// A loader failure: false, the file named in the message, the image untouched.
std::string loadFailure(const std::string& path) {
  LoadedPlanes image;
  image.planes = {0.25};
  image.width = 1;
  image.height = 1;
  image.channels = 1;
  std::string error;
  EXPECT_FALSE(loadImagePlanes(path, image, error)) << path;
  EXPECT_EQ(image.planes, std::vector<double>{0.25});
  EXPECT_EQ(image.width, 1);
  EXPECT_EQ(image.channels, 1);
  return error;
}

TEST_F(ImageFileTest, UnreadableFilesFailWithASentenceNamingTheFile) {
  const std::string missing = path("missing.png");
  EXPECT_EQ(loadFailure(missing), "cannot read '" + missing + "': no such file or directory");
  EXPECT_EQ(loadFailure(dir_.string()), "cannot read '" + dir_.string() + "': is a directory");
  writeBytes(path("empty.png"), {});
  EXPECT_EQ(loadFailure(path("empty.png")),
            "cannot read '" + path("empty.png") + "': the file is empty");
  writeBytes(path("text.png"), {'h', 'e', 'l', 'l', 'o', '\n'});
  EXPECT_EQ(loadFailure(path("text.png")),
            "cannot read '" + path("text.png") + "': not a PNG, JPEG or BMP picture");
}

TEST_F(ImageFileTest, DamagedPicturesFailWithTheReasonOfTheirOwnFormat) {
  const std::vector<double> planes = randomPlanes(16, 16, 3, 8);
  std::string error;
  for (const char* name : {"d.png", "d.jpg", "d.bmp"}) {
    ASSERT_TRUE(saveImagePlanes(planes.data(), 16, 16, 3, path(name), error)) << error;
  }
  std::vector<std::uint8_t> png = readBytes(path("d.png"));
  std::vector<std::uint8_t> jpeg = readBytes(path("d.jpg"));
  std::vector<std::uint8_t> bmp = readBytes(path("d.bmp"));
  const auto cut = [](const std::vector<std::uint8_t>& file) {
    return std::vector<std::uint8_t>(file.begin(), file.begin() + file.size() / 2);
  };
  const struct {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::string reason;
  } cases[] = {
      {"cut.png", cut(png), "truncated PNG data"},
      // Misnamed, the reason still comes from the codec that recognises it.
      {"cut-png.jpg", cut(png), "truncated PNG data"},
      {"cut.jpg", cut(jpeg), "truncated JPEG data"},
      {"cut.bmp", cut(bmp), "truncated BMP pixel data"},
      {"cut-bmp.png", cut(bmp), "truncated BMP pixel data"},
  };
  for (const auto& test : cases) {
    writeBytes(path(test.name), test.bytes);
    EXPECT_EQ(loadFailure(path(test.name)),
              "cannot read '" + path(test.name) + "': " + test.reason);
  }

  png[8 + 8 + 13] ^= 1;
  writeBytes(path("crc.png"), png);
  EXPECT_EQ(loadFailure(path("crc.png")),
            "cannot read '" + path("crc.png") + "': corrupt PNG data (IHDR: CRC error)");

  testing::putLittleEndian(bmp, 10, static_cast<std::uint32_t>(bmp.size() + 100), 4);
  writeBytes(path("offset.bmp"), bmp);
  EXPECT_EQ(loadFailure(path("offset.bmp")),
            "cannot read '" + path("offset.bmp") + "': BMP pixel data offset " +
                std::to_string(bmp.size() + 100) + " lies beyond the end of the file");
}

TEST_F(ImageFileTest, SixteenBitPngsAreReadAndWrittenAtFullPrecision) {
  testing::PngSpec spec;
  spec.width = 3;
  spec.height = 2;
  spec.colourType = PNG_COLOR_TYPE_RGB;
  spec.depth = 16;
  for (int i = 0; i < 18; ++i) spec.samples.push_back(static_cast<std::uint16_t>(i * 3851 + 1));
  writeBytes(path("deep.png"), testing::buildPng(spec));
  LoadedPlanes deep;
  std::string error;
  ASSERT_TRUE(loadImagePlanes(path("deep.png"), deep, error)) << error;
  EXPECT_EQ(deep.bitsPerSample, 16);
  // Plane c holds channel c of each pixel in turn.
  for (int i = 0; i < 18; ++i) {
    EXPECT_EQ(deep.planes[(i % 3) * 6 + i / 3], spec.samples[i] / 65535.0) << i;
  }
  ASSERT_TRUE(saveImagePlanes(deep.planes.data(), 3, 2, 3, path("again.png"), error,
                              RowOrder::TopDown, nullptr, 16))
      << error;
  LoadedPlanes again;
  ASSERT_TRUE(loadImagePlanes(path("again.png"), again, error)) << error;
  EXPECT_EQ(again.planes, deep.planes);
  EXPECT_EQ(again.bitsPerSample, 16);
  ASSERT_TRUE(saveImagePlanes(deep.planes.data(), 3, 2, 3, path("bytes.png"), error));
  ASSERT_TRUE(loadImagePlanes(path("bytes.png"), again, error)) << error;
  EXPECT_EQ(again.bitsPerSample, 8);
}

TEST_F(ImageFileTest, CameraMetadataIsCarriedIntoJpegAndPngOutputs) {
  testing::JpegSpec spec;
  spec.width = 4;
  spec.height = 2;
  spec.samples.assign(4 * 2 * 3, 128);
  spec.exif = testing::orientationExif(6);
  spec.iccProfile = testing::minimalIccProfile("RGB ");
  writeBytes(path("camera.jpg"), testing::buildJpeg(spec));
  LoadedPlanes photo;
  std::string error;
  ASSERT_TRUE(loadImagePlanes(path("camera.jpg"), photo, error)) << error;
  EXPECT_EQ(photo.metadata.exif, spec.exif);
  EXPECT_EQ(photo.metadata.iccProfile, spec.iccProfile);

  // What the picture written holds, read with the libraries alone.
  const auto written = [&](const std::string& name) {
    EXPECT_TRUE(saveImagePlanes(photo.planes.data(), 4, 2, 3, path(name), error,
                                RowOrder::TopDown, &photo.metadata))
        << error;
    const std::vector<std::uint8_t> file = readBytes(path(name));
    return name == "out.jpg" ? testing::jpegMetadata(file) : testing::pngMetadata(file);
  };
  for (const char* name : {"out.jpg", "out.png"}) {
    const testing::FileMetadata found = written(name);
    EXPECT_EQ(found.exif, spec.exif) << name;
    EXPECT_EQ(found.iccProfile, spec.iccProfile) << name;
    LoadedPlanes again;
    ASSERT_TRUE(loadImagePlanes(path(name), again, error)) << error;
    EXPECT_EQ(again.metadata.exif, spec.exif) << name;
  }
  ASSERT_TRUE(saveImagePlanes(photo.planes.data(), 4, 2, 3, path("out.bmp"), error,
                              RowOrder::TopDown, &photo.metadata))
      << error;

  // The pictures written are RGB, so a grey profile is left out of both.
  spec.iccProfile = testing::minimalIccProfile("GRAY");
  writeBytes(path("grey-profile.jpg"), testing::buildJpeg(spec));
  ASSERT_TRUE(loadImagePlanes(path("grey-profile.jpg"), photo, error)) << error;
  EXPECT_EQ(photo.metadata.iccProfile, spec.iccProfile);
  for (const char* name : {"out.jpg", "out.png"}) {
    const testing::FileMetadata found = written(name);
    EXPECT_TRUE(found.iccProfile.empty()) << name;
    EXPECT_EQ(found.exif, spec.exif) << name;
  }
}

TEST_F(ImageFileTest, EnormousAnnouncedPicturesAreRefused) {
  const std::vector<double> planes = randomPlanes(4, 4, 3, 2);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 4, 4, 3, path("big.png"), error)) << error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 4, 4, 3, path("big.bmp"), error)) << error;
  std::vector<std::uint8_t> png = readBytes(path("big.png"));
  testing::announcePngSize(png, 70000, 70000);
  writeBytes(path("big.png"), png);
  std::vector<std::uint8_t> bmp = readBytes(path("big.bmp"));
  testing::putLittleEndian(bmp, 18, 70000, 4);
  testing::putLittleEndian(bmp, 22, static_cast<std::uint32_t>(-70000), 4);
  writeBytes(path("big.bmp"), bmp);
  for (const char* name : {"big.png", "big.bmp"}) {
    EXPECT_EQ(loadFailure(path(name)), "cannot read '" + path(name) +
                                           "': 70000x70000 pixels exceeds the limit of 268435456");
  }
}

TEST_F(ImageFileTest, RefusedWritesLeaveNoFileAndKeepAnExistingTarget) {
  const std::vector<double> planes = randomPlanes(4, 3, 3, 5);
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  writeBytes(path("kept.tif"), old);
  writeBytes(path("kept.png"), old);
  writeBytes(path("plain-file"), old);
  std::string error;
  EXPECT_FALSE(saveImagePlanes(planes.data(), 4, 3, 3, path("kept.tif"), error));
  EXPECT_EQ(error, "cannot write '" + path("kept.tif") +
                       "': unknown picture format (the name must end in png, jpg or bmp)");
  EXPECT_FALSE(saveKernelImage(planes.data(), 4, 3, path("new.jpeg"), 1, error));
  EXPECT_FALSE(saveImagePlanes(planes.data(), 0, 3, 3, path("kept.png"), error));
  EXPECT_EQ(error,
            "cannot write '" + path("kept.png") + "': a picture of 0x3 pixels has no pixels");
  EXPECT_FALSE(saveKernelImage(planes.data(), 3, -1, path("kept.png"), 1, error));
  EXPECT_FALSE(saveImagePlanes(planes.data(), 4, 3, 2, path("kept.png"), error));
  EXPECT_EQ(error, "cannot write '" + path("kept.png") + "': 2 planes given, 1 or 3 expected");
  EXPECT_FALSE(saveImagePlanes(planes.data(), 70000, 70000, 1, path("kept.png"), error));
  EXPECT_EQ(error, "cannot write '" + path("kept.png") +
                       "': 70000x70000 pixels exceeds the limit of 268435456");
  // JPEG cannot hold more than 65500 pixels a side; the encoder refuses.
  const std::vector<double> wide(70000, 0.5);
  EXPECT_FALSE(saveImagePlanes(wide.data(), 70000, 1, 1, path("kept.jpg"), error));
  EXPECT_EQ(error.rfind("cannot write '" + path("kept.jpg") + "': JPEG encoding failed (", 0), 0u);

  const std::string missingDir = path("no-such-dir/out.png");
  EXPECT_FALSE(saveImagePlanes(planes.data(), 4, 3, 3, missingDir, error));
  EXPECT_EQ(error, "cannot write '" + missingDir + "': no such file or directory");
  const std::string throughFile = path("plain-file/out.bmp");
  EXPECT_FALSE(saveImagePlanes(planes.data(), 4, 3, 3, throughFile, error));
  EXPECT_EQ(error, "cannot write '" + throughFile + "': not a directory");

  EXPECT_EQ(readBytes(path("kept.tif")), old);
  EXPECT_EQ(readBytes(path("kept.png")), old);
  EXPECT_EQ(filesInDir(), (std::set<std::string>{"kept.tif", "kept.png", "plain-file"}));
}

TEST_F(ImageFileTest, ADirectoryInTheWayIsNotReplaced) {
  fs::create_directory(path("taken.png"));
  const std::vector<double> planes = randomPlanes(2, 2, 1, 1);
  std::string error;
  EXPECT_FALSE(saveImagePlanes(planes.data(), 2, 2, 1, path("taken.png"), error));
  EXPECT_EQ(error, "cannot write '" + path("taken.png") + "': is a directory");
  EXPECT_TRUE(fs::is_directory(path("taken.png")));
  EXPECT_EQ(filesInDir(), std::set<std::string>{"taken.png"});
}

TEST_F(ImageFileTest, AWriteThatFailsHalfwayRemovesItsTemporaryAndKeepsTheTarget) {
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  writeBytes(path("full.bmp"), old);
  // A file size limit makes the write fail part of the way through.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::vector<double> planes = randomPlanes(64, 64, 3, 4);
  std::string error;
  const bool saved64 = saveImagePlanes(planes.data(), 64, 64, 3, path("full.bmp"), error);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(saved64);
  EXPECT_EQ(error, "cannot write '" + path("full.bmp") + "': file too large");
  EXPECT_EQ(readBytes(path("full.bmp")), old);
  EXPECT_EQ(filesInDir(), std::set<std::string>{"full.bmp"});
}

TEST_F(ImageFileTest, WritingReplacesAnExistingFileWhole) {
  writeBytes(path("replace.png"), std::vector<std::uint8_t>(100000, 7));
  const std::vector<double> planes = randomPlanes(3, 3, 3, 6);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 3, 3, 3, path("replace.png"), error)) << error;
  EXPECT_EQ(loadOrFail(path("replace.png")).planes, planes);
  EXPECT_EQ(filesInDir(), std::set<std::string>{"replace.png"});
}

TEST_F(ImageFileTest, PathsOfAnyLengthWork) {
  fs::path deep = dir_;
  for (int i = 0; i < 5; ++i) deep /= std::string(100, static_cast<char>('a' + i));
  fs::create_directories(deep);
  const std::string file = (deep / (std::string(200, 'p') + ".bmp")).string();
  ASSERT_GT(file.size(), 700u);
  const std::vector<double> planes = randomPlanes(2, 3, 3, 7);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 2, 3, 3, file, error)) << error;
  EXPECT_EQ(loadOrFail(file).planes, planes);
}

TEST_F(ImageFileTest, SavingTheSamePlanesTwiceGivesTheSameBytes) {
  const std::vector<double> planes = randomPlanes(17, 9, 3, 12);
  for (const char* ending : {"png", "jpg", "bmp"}) {
    const std::string first = path(std::string("first.") + ending);
    const std::string second = path(std::string("second.") + ending);
    std::string error;
    ASSERT_TRUE(saveImagePlanes(planes.data(), 17, 9, 3, first, error)) << error;
    ASSERT_TRUE(saveImagePlanes(planes.data(), 17, 9, 3, second, error)) << error;
    EXPECT_EQ(readBytes(first), readBytes(second)) << ending;
  }
}

TEST_F(ImageFileTest, OnlyRegularFilesAreRead) {
  // A pipe with no writer would block the open forever.
  ASSERT_EQ(mkfifo(path("pipe.png").c_str(), 0600), 0);
  EXPECT_EQ(loadFailure(path("pipe.png")),
            "cannot read '" + path("pipe.png") + "': is not a regular file");
  EXPECT_EQ(loadFailure("/dev/zero"), "cannot read '/dev/zero': is not a regular file");
}

TEST_F(ImageFileTest, WritesGoThroughLinksAndLeaveThemInPlace) {
  fs::create_directory(path("elsewhere"));
  fs::create_symlink("elsewhere/target.png", path("link.png"));
  fs::create_symlink("link.png", path("link-to-link.png"));
  const std::vector<double> planes = randomPlanes(5, 4, 3, 13);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 5, 4, 3, path("link-to-link.png"), error)) << error;
  EXPECT_TRUE(fs::is_symlink(path("link.png")));
  EXPECT_TRUE(fs::is_symlink(path("link-to-link.png")));
  EXPECT_EQ(loadOrFail(path("elsewhere/target.png")).planes, planes);
  EXPECT_EQ(filesInDir(),
            (std::set<std::string>{"elsewhere", "link.png", "link-to-link.png"}));

  // A device behind a link is refused rather than replaced or written into.
  fs::create_symlink("/dev/full", path("full.png"));
  EXPECT_FALSE(saveImagePlanes(planes.data(), 5, 4, 3, path("full.png"), error));
  EXPECT_EQ(error, "cannot write '" + path("full.png") + "': is not a regular file");
  EXPECT_TRUE(fs::is_symlink(path("full.png")));
  fs::create_symlink("loop.png", path("loop.png"));
  EXPECT_FALSE(saveImagePlanes(planes.data(), 5, 4, 3, path("loop.png"), error));
  EXPECT_EQ(error, "cannot write '" + path("loop.png") + "': too many levels of symbolic links");
}

TEST_F(ImageFileTest, DestinationsThatWouldDestroyAnInputAreRefused) {
  const std::vector<double> planes = randomPlanes(3, 3, 3, 14);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 3, 3, 3, path("in.png"), error)) << error;
  const std::vector<std::uint8_t> original = readBytes(path("in.png"));
  fs::create_directory(path("sub"));
  fs::create_symlink("in.png", path("alias.png"));
  fs::create_hard_link(path("in.png"), path("hard.png"));
  const std::string in = path("in.png");
  for (const std::string& spelling :
       {in, path("sub/../in.png"), path("alias.png"), path("hard.png")}) {
    EXPECT_FALSE(checkDestinations({path("out.png"), spelling}, {path("k.png"), in}, error));
    EXPECT_EQ(error, "cannot write '" + spelling + "': it is the same file as the input '" + in +
                         "'");
  }
  EXPECT_FALSE(checkDestinations({path("out.png"), path("sub/../out.png")}, {in}, error));
  EXPECT_EQ(error, "cannot write '" + path("sub/../out.png") +
                       "': it is the same file as the output '" + path("out.png") + "'");
  const std::string longName = path(std::string(300, 'n') + ".png");
  EXPECT_FALSE(checkDestinations({path("out.png"), longName}, {in}, error));
  EXPECT_EQ(error, "cannot write '" + longName + "': file name too long");
  EXPECT_FALSE(checkDestinations({path("none/out.png")}, {in}, error));
  EXPECT_EQ(error, "cannot write '" + path("none/out.png") + "': no such file or directory");

  EXPECT_TRUE(checkDestinations({path("out.png"), path("sub/out.png")}, {in}, error)) << error;
  EXPECT_EQ(readBytes(in), original);
  EXPECT_EQ(filesInDir(), (std::set<std::string>{"in.png", "sub", "alias.png", "hard.png"}));
}

TEST_F(ImageFileTest, ABatchWritesAllItsPicturesOrNone) {
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  writeBytes(path("first.png"), old);
  const std::vector<double> planes = randomPlanes(4, 4, 1, 15);
  std::string error;
  {
    PictureBatch batch;
    ASSERT_TRUE(batch.addPlanes(planes.data(), 4, 4, 1, path("first.png"), error)) << error;
    EXPECT_FALSE(batch.addKernelImage(planes.data(), 4, 4, path("none/k.png"), 1, error));
    EXPECT_EQ(readBytes(path("first.png")), old);
  }
  EXPECT_EQ(filesInDir(), std::set<std::string>{"first.png"});
  EXPECT_EQ(readBytes(path("first.png")), old);

  PictureBatch batch;
  ASSERT_TRUE(batch.addPlanes(planes.data(), 4, 4, 1, path("first.png"), error)) << error;
  ASSERT_TRUE(batch.addKernelImage(planes.data(), 4, 4, path("second.png"), 0, error)) << error;
  EXPECT_FALSE(fs::exists(path("second.png")));
  ASSERT_TRUE(batch.commit(error)) << error;
  // Grey planes are written as grey true-colour pictures: red is the plane.
  for (const char* name : {"first.png", "second.png"}) {
    const std::vector<double> red = loadOrFail(path(name)).planes;
    EXPECT_EQ(std::vector<double>(red.begin(), red.begin() + 16), planes) << name;
  }
  EXPECT_EQ(filesInDir(), (std::set<std::string>{"first.png", "second.png"}));
}

}  // namespace
}  // namespace kestrel
