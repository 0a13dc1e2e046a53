// marlin and osprey as a user meets them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "app/nonblind_command.h"
#include "tests/app/command_runner.h"
#include "tests/support/synthetic_scene.h"

namespace kestrel {
namespace {

using testing::fileExists;
using testing::runCommand;

constexpr int kSide = 96;
constexpr int kKernel = 7;
// Measured gains with the true kernel are about 9 dB (marlin) and 8 dB
// (osprey) on this circularly blurred scene; a wrong orientation or a
// mis-normalised kernel gives no gain at all.
constexpr double kMinimumPsnrGain = 4.0;

class NonBlindCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::string(std::getenv("KESTREL_TEST_TMP")) + "/nonblind_" + info->name();
    std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str());
    sharp_ = testing::sharpScene(kSide, kSide);
    kernel_ = testing::shakeKernel(kKernel);
    blurred_ = testing::circularBlur(sharp_, kSide, kSide, kernel_, kKernel, kKernel);
    write("blurred.png", blurred_, kSide, kSide);
    double largest = 0.0;
    for (double v : kernel_) largest = std::max(largest, v);
    std::vector<double> picture;
    for (double v : kernel_) picture.push_back(v / largest);
    write("kernel.png", picture, kKernel, kKernel);
  }

  void write(const std::string& name, const std::vector<double>& plane, int width, int height) {
    std::string error;
    ASSERT_TRUE(saveImagePlanes(plane.data(), width, height, 1, path(name), error)) << error;
  }

  std::vector<double> read(const std::string& name) {
    LoadedPlanes picture;
    std::string error;
    EXPECT_TRUE(loadImagePlanes(path(name), picture, error)) << error;
    return std::vector<double>(picture.planes.begin(),
                               picture.planes.begin() + picture.width * picture.height);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
  std::vector<double> sharp_;
  std::vector<double> kernel_;
  std::vector<double> blurred_;
};

TEST_F(NonBlindCommand, TooFewArgumentsPrintTheUsageLine) {
  const auto marlin = runCommand("marlin", {"a.png", "k.png"}, dir_);
  EXPECT_EQ(marlin.status, 2);
  EXPECT_EQ(marlin.out, "usage: marlin imageFile kernelFile outputFileName wtdeconv\n");
  const auto osprey = runCommand("osprey", {}, dir_);
  EXPECT_EQ(osprey.status, 2);
  EXPECT_EQ(osprey.out, "usage: osprey imageFile kernelFile outputFileName lambda alpha\n");
}

TEST_F(NonBlindCommand, BothCommandsSharpenWithTheTrueKernel) {
  const double before = testing::psnr(blurred_, sharp_, kSide, kSide, 0);
  for (const char* command : {"marlin", "osprey"}) {
    const std::string output = std::string(command) + ".png";
    const auto result = runCommand(command, {"blurred.png", "kernel.png", output}, dir_);
    ASSERT_EQ(result.status, 0) << command << ": " << result.err;
    EXPECT_EQ(result.out.substr(0, 35), "read images...\nstart deblurring...\n");
    EXPECT_NE(result.out.find("time cost : 0(m)"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - 16), "save results...\n");
    const double after = testing::psnr(read(output), sharp_, kSide, kSide, 0);
    EXPECT_GT(after, before + kMinimumPsnrGain) << command << " from " << before << " dB";
  }
}

TEST_F(NonBlindCommand, TheOutputKeepsTheInputsOrientation) {
  // A bright top-left corner on black, and the blur-free kernel: the result
  // must be the picture itself, the corner still top-left.
  std::vector<double> marked(32 * 24, 0.0);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) marked[r * 32 + c] = 1.0;
  write("marked.png", marked, 32, 24);
  write("delta.png", {0, 0, 0, 0, 1, 0, 0, 0, 0}, 3, 3);
  for (const char* command : {"marlin", "osprey"}) {
    const auto result = runCommand(command, {"marked.png", "delta.png", "out.png"}, dir_);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<double> out = read("out.png");
    EXPECT_GT(out[0], 0.9) << command;
    EXPECT_LT(out[23 * 32 + 31], 0.1) << command;
    EXPECT_LT(out[23 * 32], 0.1) << command;
  }
}

TEST_F(NonBlindCommand, BadKernelPicturesAreRefusedWithoutOutput) {
  write("black.png", std::vector<double>(9, 0.0), 3, 3);
  write("even.png", std::vector<double>(16, 0.5), 4, 4);
  write("huge.png", std::vector<double>(99 * 99, 0.5), 99, 99);
  for (const char* kernel : {"black.png", "even.png", "huge.png"}) {
    const auto result = runCommand("marlin", {"blurred.png", kernel, "out.png"}, dir_);
    EXPECT_EQ(result.status, 1) << kernel;
    EXPECT_NE(result.err.find(kernel), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(path("out.png"))) << kernel;
  }
}

TEST_F(NonBlindCommand, NumbersOutsideTheirRangesAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"marlin", "0"}, {"marlin", "-1"}, {"marlin", "0.02x"}, {"osprey", "0"},
      {"osprey", "30000", "0.8"}, {"osprey", "30000", "nan"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"blurred.png", "kernel.png", "out.png"};
    args.insert(args.end(), c.begin() + 1, c.end());
    const auto result = runCommand(c[0], args, dir_);
    EXPECT_EQ(result.status, 2) << c[0] << " " << c[1];
    EXPECT_FALSE(result.err.empty());
    EXPECT_FALSE(fileExists(path("out.png")));
  }
}

TEST_F(NonBlindCommand, AnUnreadablePictureIsReported) {
  const auto result = runCommand("osprey", {"nothing.png", "kernel.png", "out.png"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "read images...\nCannot open the file nothing.png\n");
  EXPECT_FALSE(fileExists(path("out.png")));
}

TEST(KernelNormalisation, DividesByTheSumAndRefusesABlackKernel) {
  std::vector<double> kernel = {0.0, 0.5, 1.5};
  ASSERT_TRUE(normaliseKernel(kernel));
  EXPECT_DOUBLE_EQ(kernel[1], 0.25);
  EXPECT_DOUBLE_EQ(kernel[2], 0.75);
  std::vector<double> black(9, 0.0);
  EXPECT_FALSE(normaliseKernel(black));
}

}  // namespace
}  // namespace kestrel
