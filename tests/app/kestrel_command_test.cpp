// The kestrel command as a user meets it: exit statuses, messages, and which
// files exist afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "app/memory_budget.h"
#include "tests/app/command_runner.h"
#include "tests/codecs/picture_builders.h"
#include "tests/support/synthetic_scene.h"

namespace kestrel {
namespace {

using testing::fileExists;
using testing::runCommand;

class KestrelCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::string(std::getenv("KESTREL_TEST_TMP")) + "/kestrel_command_" + info->name();
    std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str());
  }

  // A blurred 96 x 96 colour scene written as PNG.
  void writeBlurredPicture(const std::string& name) {
    const int side = 96;
    const std::vector<double> scene = testing::sharpScene(side, side);
    const std::vector<double> blurred =
        testing::circularBlur(scene, side, side, testing::shakeKernel(7), 7, 7);
    std::vector<double> planes;
    for (int c = 0; c < 3; ++c) planes.insert(planes.end(), blurred.begin(), blurred.end());
    std::string error;
    ASSERT_TRUE(saveImagePlanes(planes.data(), side, side, 3, path(name), error)) << error;
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(KestrelCommand, TooFewArgumentsPrintTheBannerAndUsage) {
  const auto result = runCommand("kestrel", {"in.png"}, dir_);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out,
            "Kestrel\nversion 0.8\n\n"
            "usage: kestrel input output kwidth kheight gamma wtscale wtdeconv wtderinging denoise\n"
            "example: kestrel boat.png boatout.png 31 31 2.2 0.7 2e-2 1 0\n");
}

TEST_F(KestrelCommand, HelpAndVersionSucceed) {
  const auto help = runCommand("kestrel", {"--help"}, dir_);
  EXPECT_EQ(help.status, 0);
  for (const char* argument : {"kwidth", "kheight", "gamma", "wtscale", "wtdeconv",
                               "wtderinging", "denoise", "default"}) {
    EXPECT_NE(help.out.find(argument), std::string::npos) << argument;
  }
  const auto version = runCommand("kestrel", {"--version"}, dir_);
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("0.8"), std::string::npos);
}

TEST_F(KestrelCommand, ABadNumberIsAUsageErrorNamingTheArgument) {
  writeBlurredPicture("in.png");
  const auto result = runCommand("kestrel", {"in.png", "out.png", "7", "7", "2.2", "0.7x"}, dir_);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("kestrel: wtscale '0.7x'"), std::string::npos) << result.err;
  EXPECT_FALSE(fileExists(path("out.png")));
  EXPECT_FALSE(fileExists(path("in_kernel.png")));
}

TEST_F(KestrelCommand, AMissingInputIsReportedAndNothingIsWritten) {
  const auto result = runCommand("kestrel", {"missing.png", "out.png", "7", "7", "2.2"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Cannot open the file missing.png\n");
  EXPECT_NE(result.err.find("missing.png"), std::string::npos);
  EXPECT_FALSE(fileExists(path("out.png")));
  EXPECT_FALSE(fileExists(path("missing_kernel.png")));
}

TEST_F(KestrelCommand, AnUnknownOutputEndingIsRefusedBeforeAnyWork) {
  writeBlurredPicture("in.png");
  const auto result = runCommand("kestrel", {"in.png", "out.tiff", "7", "7", "2.2"}, dir_);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fileExists(path("in_kernel.png")));
}

TEST_F(KestrelCommand, AnUnwritableOutputDirectoryIsRefusedBeforeAnyWork) {
  writeBlurredPicture("in.png");
  const auto result = runCommand("kestrel", {"in.png", "nowhere/out.png", "7", "7", "2.2"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("nowhere"), std::string::npos);
  EXPECT_EQ(result.out, "");
}

TEST_F(KestrelCommand, TheSparseEstimatorRunsWithAnAutomaticWeightAndWritesBothPictures) {
  writeBlurredPicture("scene.png");
  const auto result =
      runCommand("kestrel", {"scene.png", "sharp.png", "9", "9", "2.2", "--estimator", "sparse"},
                 dir_);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find("start kernel estimation...\nLevel 4\n"), 0u) << result.out;
  EXPECT_NE(result.out.find("start deconvolution...\n"), std::string::npos);
  EXPECT_TRUE(fileExists(path("sharp.png")));
  EXPECT_TRUE(fileExists(path("scene_kernel.png")));
}

TEST_F(KestrelCommand, AGivenRegionIsWhereTheKernelIsEstimated) {
  // The scene is 96 x 96.
  writeBlurredPicture("scene.png");
  const auto result =
      runCommand("kestrel", {"scene.png", "sharp.png", "9", "9", "2.2", "--region", "8,16,64,60"},
                 dir_);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find("estimate the kernel in the 64x60 region at 8,16\n"
                            "start kernel estimation...\n"),
            0u)
      << result.out;
  EXPECT_TRUE(fileExists(path("sharp.png")));
  EXPECT_TRUE(fileExists(path("scene_kernel.png")));

  const auto beyond =
      runCommand("kestrel", {"scene.png", "other.png", "9", "9", "2.2", "--region", "40,40,64,60"},
                 dir_);
  EXPECT_EQ(beyond.status, 2);
  EXPECT_EQ(beyond.err,
            "kestrel: --region 40,40,64,60 reaches beyond the 96x96 picture 'scene.png'\n");
  EXPECT_FALSE(fileExists(path("other.png")));
}

TEST_F(KestrelCommand, AnAutomaticKernelSizeIsMeasuredPrintedAndUsed) {
  writeBlurredPicture("scene.png");
  const auto result =
      runCommand("kestrel", {"scene.png", "sharp.png", "auto", "auto", "2.2"}, dir_);
  EXPECT_EQ(result.status, 0) << result.err;
  const std::regex chosen("measure the kernel size...\n(Level \\d+\n)+kernel size (\\d+)x(\\d+) "
                          "\\(measured\\)\nstart kernel estimation...\n[^]*");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(result.out, match, chosen)) << result.out;
  LoadedPlanes kernel;
  std::string error;
  ASSERT_TRUE(loadImagePlanes(path("scene_kernel.png"), kernel, error)) << error;
  EXPECT_EQ(kernel.width, std::stoi(match[2]));
  EXPECT_EQ(kernel.height, std::stoi(match[3]));
  // Standard error is a pipe here: no progress bar is drawn on it.
  EXPECT_EQ(result.err, "");
}

TEST_F(KestrelCommand, APictureTooSmallToMeasureAKernelSizeInIsAUsageError) {
  std::vector<double> planes(3 * 2 * 40, 0.5);
  std::string error;
  ASSERT_TRUE(saveImagePlanes(planes.data(), 40, 2, 3, path("strip.png"), error)) << error;
  const auto result = runCommand("kestrel", {"strip.png", "out.png", "auto", "3", "2.2"}, dir_);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("too small to measure a kernel size"), std::string::npos)
      << result.err;
  EXPECT_FALSE(fileExists(path("out.png")));
}

TEST_F(KestrelCommand, AnUnknownEstimatorIsAUsageErrorBeforeAnyWork) {
  writeBlurredPicture("in.png");
  const auto result =
      runCommand("kestrel", {"--estimator", "fancy", "in.png", "out.png", "7", "7", "2.2"}, dir_);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--estimator 'fancy'"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fileExists(path("in_kernel.png")));
}

TEST_F(KestrelCommand, AKernelTooLargeForThePictureIsAUsageError) {
  writeBlurredPicture("in.png");
  const auto result = runCommand("kestrel", {"in.png", "out.png", "95", "95", "2.2"}, dir_);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("95x95"), std::string::npos) << result.err;
  EXPECT_FALSE(fileExists(path("out.png")));
}

TEST_F(KestrelCommand, OutputsThatWouldDestroyAnInputOrEachOtherAreRefusedBeforeAnyWork) {
  writeBlurredPicture("in.png");
  const std::string original = testing::readWholeFile(path("in.png"));
  symlink("in.png", path("alias.png").c_str());
  symlink("in_kernel.png", path("kernel-alias.png").c_str());
  for (const char* output : {"in.png", "./in.png", "alias.png", "kernel-alias.png"}) {
    const auto result = runCommand("kestrel", {"in.png", output, "7", "7", "2.2"}, dir_);
    EXPECT_EQ(result.status, 1) << output;
    EXPECT_EQ(result.out, "") << output;
    EXPECT_NE(result.err.find("': it is the same file as"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(std::string("'") + output + "'"), std::string::npos) << result.err;
  }
  EXPECT_EQ(testing::readWholeFile(path("in.png")), original);
  EXPECT_FALSE(fileExists(path("in_kernel.png")));
}

TEST_F(KestrelCommand, AKernelPictureThatCannotBeWrittenLeavesNoDeblurredPicture) {
  // The kernel picture's name, the input's and a suffix, is too long for
  // the directory although the input's name fits.
  const std::string input = std::string(250, 'i') + ".png";
  writeBlurredPicture(input);
  const auto result = runCommand("kestrel", {input, "out.png", "7", "7", "2.2"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("_kernel.png': file name too long"), std::string::npos) << result.err;
  EXPECT_FALSE(fileExists(path("out.png")));
}

TEST_F(KestrelCommand, APipeGivenAsThePictureIsRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(path("pipe.png").c_str(), 0600), 0);
  const auto result = runCommand("kestrel", {"pipe.png", "out.png", "7", "7", "2.2"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot read 'pipe.png': is not a regular file"), std::string::npos)
      << result.err;
  EXPECT_FALSE(fileExists(path("out.png")));
}

TEST_F(KestrelCommand, APictureTooLargeForTheMemoryIsRefusedFromItsHeader) {
  // A few hundred bytes that announce 2^28 colour pixels.
  writeBlurredPicture("bomb.png");
  testing::announcePngFileSize(path("bomb.png"), 16384, 16384);
  writeBlurredPicture("scene.png");
  struct Refusal {
    std::vector<std::string> arguments;
    std::string expected;  // the message, as a pattern
  };
  const std::string need = " pixels would need about [0-9.]+ [MG]iB of memory, more than the ";
  const std::vector<Refusal> refusals = {
      {{"--max-memory", "32G", "bomb.png", "out.png", "31", "31", "2.2"},
       "cannot read 'bomb.png': 16384x16384" + need + "32 GiB that --max-memory allows"},
      {{"bomb.png", "out.png", "31", "31", "2.2", "--max-memory=8G", "--estimator", "sparse"},
       "cannot read 'bomb.png': 16384x16384" + need + "8\\.0 GiB that --max-memory allows"},
      {{"scene.png", "out.png", "9", "9", "1", "--max-memory", "1M"},
       "cannot read 'scene.png': 96x96" + need + "1\\.0 MiB that --max-memory allows"},
  };
  for (const Refusal& refusal : refusals) {
    const auto result = runCommand("kestrel", refusal.arguments, dir_);
    EXPECT_EQ(result.status, 1) << refusal.expected;
    EXPECT_TRUE(std::regex_match(result.err, std::regex("kestrel: " + refusal.expected + "\\n")))
        << result.err;
    EXPECT_FALSE(fileExists(path("out.png")));
    EXPECT_FALSE(fileExists(path("bomb_kernel.png")));
  }
  const auto small =
      runCommand("kestrel", {"--max-memory", "1G", "scene.png", "out.png", "9", "9", "1"}, dir_);
  EXPECT_EQ(small.status, 0) << small.err;
  // Without the option the budget is what the machine has available.
  if (availableMemoryBytes() > (std::uint64_t{64} << 30)) GTEST_SKIP() << "a machine of > 64 GiB";
  const auto result = runCommand("kestrel", {"bomb.png", "out.png", "31", "31", "2.2"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("available (see --max-memory)"), std::string::npos) << result.err;
}

TEST_F(KestrelCommand, TheDeblurredPictureKeepsTheCamerasMetadata) {
  writeBlurredPicture("scene.png");
  LoadedPlanes scene;
  std::string error;
  ASSERT_TRUE(loadImagePlanes(path("scene.png"), scene, error)) << error;
  scene.metadata.exif = testing::orientationExif(8);
  scene.metadata.iccProfile = testing::minimalIccProfile("RGB ");
  ASSERT_TRUE(saveImagePlanes(scene.planes.data(), scene.width, scene.height, 3,
                              path("camera.jpg"), error, RowOrder::TopDown, &scene.metadata))
      << error;
  const auto result = runCommand("kestrel", {"camera.jpg", "sharp.png", "9", "9", "1"}, dir_);
  ASSERT_EQ(result.status, 0) << result.err;
  const auto bytes = [this](const std::string& name) {
    const std::string text = testing::readWholeFile(path(name));
    return std::vector<std::uint8_t>(text.begin(), text.end());
  };
  const testing::FileMetadata sharp = testing::pngMetadata(bytes("sharp.png"));
  EXPECT_EQ(sharp.exif, scene.metadata.exif);
  EXPECT_EQ(sharp.iccProfile, scene.metadata.iccProfile);
  // The kernel picture is no photograph of the camera's.
  const testing::FileMetadata kernel = testing::pngMetadata(bytes("camera_kernel.png"));
  EXPECT_TRUE(kernel.exif.empty());
  EXPECT_TRUE(kernel.iccProfile.empty());
}

TEST_F(KestrelCommand, ASixteenBitPngGivesASixteenBitPngUnlessToldOtherwise) {
  writeBlurredPicture("scene.png");
  LoadedPlanes scene;
  std::string error;
  ASSERT_TRUE(loadImagePlanes(path("scene.png"), scene, error)) << error;
  ASSERT_TRUE(saveImagePlanes(scene.planes.data(), scene.width, scene.height, 3,
                              path("deep.png"), error, RowOrder::TopDown, nullptr, 16))
      << error;
  const auto depthOf = [this](const std::string& name) {
    const std::string file = testing::readWholeFile(path(name));
    return file.size() > 24 ? static_cast<int>(static_cast<unsigned char>(file[24])) : 0;
  };
  ASSERT_EQ(runCommand("kestrel", {"deep.png", "sharp.png", "9", "9", "1"}, dir_).status, 0);
  EXPECT_EQ(depthOf("sharp.png"), 16);
  ASSERT_EQ(runCommand("kestrel", {"deep.png", "eight.png", "9", "9", "1", "--depth", "8"}, dir_)
                .status,
            0);
  EXPECT_EQ(depthOf("eight.png"), 8);
  ASSERT_EQ(runCommand("kestrel", {"scene.png", "wide.png", "9", "9", "1", "--depth=16"}, dir_)
                .status,
            0);
  EXPECT_EQ(depthOf("wide.png"), 16);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"deep.png", "sharp.jpg", "9", "9", "1", "--depth", "16"},
        std::vector<std::string>{"deep.png", "out.png", "9", "9", "1", "--depth", "12"}}) {
    const auto refused = runCommand("kestrel", bad, dir_);
    EXPECT_EQ(refused.status, 2) << bad.back();
    EXPECT_NE(refused.err.find("--depth"), std::string::npos) << refused.err;
    EXPECT_FALSE(fileExists(path("sharp.jpg")));
    EXPECT_FALSE(fileExists(path("out.png")));
  }
}

TEST_F(KestrelCommand, ACompleteRunPrintsItsStagesAndWritesBothPictures) {
  writeBlurredPicture("scene.png");
  const auto result = runCommand("kestrel", {"scene.png", "sharp.jpg", "9", "9", "1"}, dir_);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  // The run takes a few seconds at most, however slow the build.
  EXPECT_TRUE(std::regex_match(result.out,
                               std::regex("start kernel estimation...\nLevel 3\nLevel 2\nLevel 1\n"
                                          "Level 0\nstart padding image...\n"
                                          "start deconvolution...\ntime cost : [0-9]+\\(s\\)\n"
                                          "save results...\n")))
      << result.out;
  LoadedPlanes sharp;
  LoadedPlanes kernel;
  std::string error;
  ASSERT_TRUE(loadImagePlanes(path("sharp.jpg"), sharp, error)) << error;
  EXPECT_EQ(sharp.width, 96);
  EXPECT_EQ(sharp.channels, 3);
  ASSERT_TRUE(loadImagePlanes(path("scene_kernel.png"), kernel, error)) << error;
  EXPECT_EQ(kernel.width, 9);
  EXPECT_EQ(kernel.height, 9);
  // Min-max normalised: the largest entry is white, the smallest black.
  double lowest = 1.0, highest = 0.0;
  for (double v : kernel.planes) {
    lowest = std::min(lowest, v);
    highest = std::max(highest, v);
  }
  EXPECT_EQ(lowest, 0.0);
  EXPECT_EQ(highest, 1.0);
}

TEST_F(KestrelCommand, TheResultDoesNotDependOnTheThreadCount) {
  writeBlurredPicture("scene.png");
  const auto one = runCommand("kestrel", {"--threads", "1", "scene.png", "one.png", "9", "9", "1"},
                              dir_);
  ASSERT_EQ(one.status, 0) << one.err;
  std::rename(path("scene_kernel.png").c_str(), path("one_kernel.png").c_str());
  const auto three = runCommand("kestrel", {"scene.png", "three.png", "9", "9", "1",
                                            "--threads=3"}, dir_);
  ASSERT_EQ(three.status, 0) << three.err;
  EXPECT_EQ(testing::readWholeFile(path("one.png")), testing::readWholeFile(path("three.png")));
  EXPECT_EQ(testing::readWholeFile(path("one_kernel.png")),
            testing::readWholeFile(path("scene_kernel.png")));
  const auto bad = runCommand("kestrel", {"--threads", "0", "scene.png", "x.png", "9", "9", "1"},
                              dir_);
  EXPECT_EQ(bad.status, 2);
  EXPECT_FALSE(fileExists(path("x.png")));
}

}  // namespace
}  // namespace kestrel
