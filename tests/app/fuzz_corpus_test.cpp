// Replays the picture-reader fuzzer's corpus as ordinary tests: the seed
// pictures (made by scripts/make-test-pictures.py) and any input that once
// broke the reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/image_io.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(KESTREL_SOURCE_DIR) / "tests" / "fuzz" / "corpus";

// The seeds are 8x8 pictures of one pattern: a ramp r = (32 x + 4 y) mod
// 256 in red, 255 - r in green and 4 x y mod 256 in blue; palette and grey
// variants hold r mod 16, r mod 2^depth, or a palette entry i = r mod 16 of
// colour (16 i, 255 - 16 i, 8 i).
constexpr int kSide = 8;

int ramp(int x, int y) { return (32 * x + 4 * y) % 256; }

LoadedPlanes loadSeed(const std::string& name) {
  LoadedPlanes image;
  std::string error;
  EXPECT_TRUE(loadImagePlanes((kCorpus / name).string(), image, error)) << error;
  EXPECT_EQ(image.width, kSide);
  EXPECT_EQ(image.height, kSide);
  return image;
}

TEST(FuzzCorpus, EveryFileLoadsOrFailsWithASentence) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(kCorpus)) {
    ++files;
    const std::string path = entry.path().string();
    LoadedPlanes image;
    std::string error;
    if (loadImagePlanes(path, image, error)) {
      ASSERT_GT(image.width, 0) << path;
      ASSERT_GT(image.height, 0) << path;
      ASSERT_TRUE(image.channels == 1 || image.channels == 3) << path;
      ASSERT_EQ(image.planes.size(),
                static_cast<std::size_t>(image.width) * image.height * image.channels);
      for (double v : image.planes) ASSERT_TRUE(v >= 0.0 && v <= 1.0) << path;
    } else {
      EXPECT_EQ(error.rfind("cannot read '" + path + "': ", 0), 0u) << error;
      EXPECT_TRUE(image.planes.empty());
    }
  }
  EXPECT_GE(files, 30);
}

TEST(FuzzCorpus, SeedsLoadWithTheirChannelCountOrAreRefusedForTheirReason) {
  const std::map<std::string, int> channels = {
      {"grey1.png", 1},
      {"grey2.png", 1},
      {"grey4.png", 1},
      {"grey8.png", 1},
      {"grey16.png", 1},
      {"grey-alpha.png", 1},
      {"grey-interlaced16.png", 1},
      {"palette4.png", 1},
      {"palette8-trns.png", 1},
      {"rgb.png", 3},
      {"rgb16.png", 3},
      {"rgb-key.png", 3},
      {"rgb-interlaced.png", 3},
      {"rgba.png", 1},
      {"baseline.jpg", 3},
      {"progressive.jpg", 3},
      {"grey.jpg", 1},
      {"1bit.bmp", 1},
      {"4bit.bmp", 1},
      {"8bit-top-down.bmp", 1},
      {"8bit-core.bmp", 1},
      {"16bit-565.bmp", 3},
      {"24bit.bmp", 3},
      {"24bit-top-down.bmp", 3},
      {"32bit.bmp", 3},
      {"32bit-alpha-v5.bmp", 1},
  };
  for (const auto& [name, count] : channels) {
    EXPECT_EQ(loadSeed(name).channels, count) << name;
  }
  const std::map<std::string, std::string> refusals = {
      {"cmyk.jpg", "CMYK JPEG pictures are not supported"},
      {"rle8.bmp", "run-length compressed BMP pictures are not supported"},
      {"truncated.png", "truncated PNG data"},
      {"truncated.jpg", "truncated JPEG data"},
      {"truncated-padding.bmp", "truncated BMP pixel data"},
      {"offset-past-end.bmp", "BMP pixel data offset 1048576 lies beyond the end of the file"},
      {"text.txt", "not a PNG, JPEG or BMP picture"},
  };
  for (const auto& [name, reason] : refusals) {
    const std::string path = (kCorpus / name).string();
    LoadedPlanes image;
    std::string error;
    EXPECT_FALSE(loadImagePlanes(path, image, error)) << name;
    EXPECT_EQ(error, "cannot read '" + path + "': " + reason);
  }
}

TEST(FuzzCorpus, TrueColourVariantsOfThePatternAgreeExactly) {
  for (const char* name : {"rgb.png", "rgb16.png", "rgb-key.png", "rgb-interlaced.png", "24bit.bmp",
                           "24bit-top-down.bmp", "32bit.bmp"}) {
    const LoadedPlanes image = loadSeed(name);
    ASSERT_EQ(image.channels, 3) << name;
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        const int i = y * kSide + x;
        const int r = ramp(x, y);
        EXPECT_EQ(image.planes[i], r / 255.0) << name << " " << i;
        EXPECT_EQ(image.planes[64 + i], (255 - r) / 255.0) << name << " " << i;
        EXPECT_EQ(image.planes[128 + i], (4 * x * y % 256) / 255.0) << name << " " << i;
      }
    }
  }
}

TEST(FuzzCorpus, PaletteAndGreyVariantsHoldTheirRedComponent) {
  const struct {
    const char* name;
    int (*red)(int r);
  } cases[] = {
      {"palette4.png", [](int r) { return 16 * (r % 16); }},
      {"palette8-trns.png", [](int r) { return 16 * (r % 16); }},
      {"4bit.bmp", [](int r) { return 16 * (r % 16); }},
      {"8bit-top-down.bmp", [](int r) { return 16 * (r % 16); }},
      {"8bit-core.bmp", [](int r) { return 16 * (r % 16); }},
      {"1bit.bmp", [](int r) { return 16 * (r % 2); }},
      {"grey8.png", [](int r) { return r; }},
      {"grey4.png", [](int r) { return 17 * (r % 16); }},
      {"grey2.png", [](int r) { return 85 * (r % 4); }},
      {"grey1.png", [](int r) { return 255 * (r % 2); }},
      {"grey-alpha.png", [](int r) { return r; }},
      {"rgba.png", [](int r) { return r; }},
      {"32bit-alpha-v5.bmp", [](int r) { return r; }},
  };
  for (const auto& test : cases) {
    const LoadedPlanes image = loadSeed(test.name);
    ASSERT_EQ(image.channels, 1) << test.name;
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        EXPECT_EQ(image.planes[y * kSide + x], test.red(ramp(x, y)) / 255.0)
            << test.name << " " << x << "," << y;
      }
    }
  }
}

// A check made from the header must see the size and the plane count that
// the whole decode yields, in every format and colour type.
TEST(FuzzCorpus, AHeaderCheckSeesWhatTheDecodeYields) {
  for (const char* name : {"rgb.png", "rgba.png", "grey8.png", "palette8-trns.png", "palette4.png",
                           "baseline.jpg", "grey.jpg", "24bit.bmp", "8bit-core.bmp",
                           "32bit-alpha-v5.bmp", "16bit-565.bmp"}) {
    const std::string path = (kCorpus / name).string();
    LoadedPlanes whole;
    std::string error;
    ASSERT_TRUE(loadImagePlanes(path, whole, error)) << error;
    std::vector<int> seen;
    const HeaderCheck refuse = [&seen](int width, int height, int planes, std::string& reason) {
      seen = {width, height, planes};
      reason = "refused by the check";
      return false;
    };
    LoadedPlanes refused;
    EXPECT_FALSE(loadImagePlanes(path, refused, error, RowOrder::TopDown, refuse));
    EXPECT_EQ(seen, (std::vector<int>{whole.width, whole.height, whole.channels})) << name;
    EXPECT_EQ(error, "cannot read '" + path + "': refused by the check");
    EXPECT_TRUE(refused.planes.empty()) << name;
  }
}

}  // namespace
}  // namespace kestrel
