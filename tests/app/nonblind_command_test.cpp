// marlin and osprey as a user meets them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/image_io.h"
#include "app/nonblind_command.h"
#include "tests/app/command_runner.h"
#include "tests/codecs/picture_builders.h"
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
// Noise for the automatic weights: the defaults suit almost noise-free
// pictures and fall far below the blurred input here.
constexpr double kNoisySigma = 0.02;
// Measured: auto 15 to 19 dB above the defaults, which amplify the noise,
// and 5.3 to 5.6 dB above the blurred input.
constexpr double kAutoGain = 10.0;
constexpr double kAutoGainOverBlurred = 3.0;

// The real-picture cases: crops of the bundled photo's green plane, blurred
// by the valid part of the convolution with a kernel kRealKernel across, so
// that their borders hold no wrap-around.
constexpr int kRealKernel = 9;
constexpr int kRealSide = 160;
// A larger crop around the same samples, in which they lie this far from
// every border, shows how well they can be restored with all their
// surroundings known.
constexpr int kSurroundings = 2 * kRealKernel;

// Errors near the border, as multiples of those of the same samples
// restored inside the larger crop. The strip within half a kernel of a
// border was blurred with scene beyond the picture, which the padding can
// only guess: measured 2.5 to 2.6, against 4.5 with the blind command's
// padding weights and 11 for a deconvolution that wraps around.
constexpr double kStripTolerance = 3.0;
// The band from half a kernel to a kernel has every observation inside the
// picture: measured 1.14 to 1.16 (1.6 with the blind command's weights, 5.7
// wrapping around).
constexpr double kBandTolerance = 1.3;
// Farther in, the border should hardly matter: measured 1.02 (1.07 to 1.10
// with the blind command's weights, 5.8 wrapping around).
constexpr double kInteriorTolerance = 1.05;

struct RealCase {
  int rows = 0;
  int cols = 0;
  std::vector<double> blurred;
  std::vector<double> truth;  // the sharp samples under the blurred ones
};

// The part of a plane of cols columns that leaves margin samples out at
// every border.
std::vector<double> innerWindow(const std::vector<double>& plane, int rows, int cols,
                                int margin) {
  std::vector<double> inner;
  for (int r = margin; r < rows - margin; ++r) {
    const auto row = plane.begin() + static_cast<std::ptrdiff_t>(r) * cols;
    inner.insert(inner.end(), row + margin, row + cols - margin);
  }
  return inner;
}

// A side x side blurred crop around the photo's centre, with noise of sigma.
RealCase realCase(int side, double sigma, unsigned seed) {
  LoadedPlanes photo;
  std::string error;
  EXPECT_TRUE(loadImagePlanes(KESTREL_SOURCE_DIR "/samples/astronaut_blurred.png", photo, error))
      << error;
  const int sharpSide = side + kRealKernel - 1;
  const int top = (photo.height - sharpSide) / 2;
  const int left = (photo.width - sharpSide) / 2;
  const double* green = photo.planes.data() + static_cast<std::size_t>(photo.width) * photo.height;
  std::vector<double> sharp;
  for (int r = 0; r < sharpSide; ++r) {
    const double* row = green + static_cast<std::size_t>(top + r) * photo.width + left;
    sharp.insert(sharp.end(), row, row + sharpSide);
  }
  RealCase real;
  real.rows = real.cols = side;
  const std::vector<double> kernel = testing::shakeKernel(kRealKernel);
  real.blurred = testing::validBlur(sharp, sharpSide, sharpSide, kernel, kRealKernel, kRealKernel);
  if (sigma > 0.0) testing::addNoise(real.blurred, sigma, seed);
  real.truth = innerWindow(sharp, sharpSide, sharpSide, kRealKernel / 2);
  return real;
}

// Root mean square errors by distance d from the nearest border, for a
// kernel k samples across: the strip d < k/2, the band k/2 <= d < k and the
// interior d >= k.
struct BorderErrors {
  double strip = 0.0;
  double band = 0.0;
  double interior = 0.0;
};

BorderErrors borderErrors(const std::vector<double>& result, const std::vector<double>& truth,
                          int rows, int cols, int k) {
  double sums[3] = {0.0, 0.0, 0.0};
  int counts[3] = {0, 0, 0};
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const int d = std::min(std::min(r, rows - 1 - r), std::min(c, cols - 1 - c));
      const int region = d < k / 2 ? 0 : (d < k ? 1 : 2);
      const double e = result[static_cast<std::size_t>(r) * cols + c] -
                       truth[static_cast<std::size_t>(r) * cols + c];
      sums[region] += e * e;
      ++counts[region];
    }
  }
  return {std::sqrt(sums[0] / counts[0]), std::sqrt(sums[1] / counts[1]),
          std::sqrt(sums[2] / counts[2])};
}

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
    writeKernel("kernel.png", kernel_, kKernel);
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

  // Writes the real case's blurred picture as name and its kernel as
  // real_kernel.png.
  void writeReal(const std::string& name, const RealCase& real) {
    write(name, real.blurred, real.cols, real.rows);
    writeKernel("real_kernel.png", testing::shakeKernel(kRealKernel), kRealKernel);
  }

  // A kernel picture: the kernel scaled so that its largest entry is white.
  void writeKernel(const std::string& name, const std::vector<double>& kernel, int side) {
    double largest = 0.0;
    for (double v : kernel) largest = std::max(largest, v);
    std::vector<double> picture;
    for (double v : kernel) picture.push_back(v / largest);
    write(name, picture, side, side);
  }

  std::string dir_;
  std::vector<double> sharp_;
  std::vector<double> kernel_;
  std::vector<double> blurred_;
};

TEST_F(NonBlindCommand, TooFewArgumentsPrintTheUsageLine) {
  const auto marlin = runCommand("marlin", {"a.png", "k.png"}, dir_);
  EXPECT_EQ(marlin.status, 2);
  EXPECT_EQ(marlin.out,
            "usage: marlin imageFile kernelFile outputFileName wtdeconv\nsee 'marlin --help'\n");
  const auto osprey = runCommand("osprey", {}, dir_);
  EXPECT_EQ(osprey.status, 2);
  EXPECT_EQ(osprey.out,
            "usage: osprey imageFile kernelFile outputFileName lambda alpha\n"
            "see 'osprey --help'\n");
}

TEST_F(NonBlindCommand, HelpExplainsEveryArgumentAndSucceeds) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
      {"marlin", {"imageFile", "kernelFile", "wtdeconv", "auto", "--threads"}},
      {"osprey", {"imageFile", "kernelFile", "lambda", "auto", "alpha", "0.667", "--threads"}},
  };
  for (const auto& [command, words] : commands) {
    for (const char* option : {"--help", "-h"}) {
      const auto result = runCommand(command, {option}, dir_);
      EXPECT_EQ(result.status, 0) << command << " " << option;
      EXPECT_EQ(result.out.rfind("usage: " + command + " imageFile", 0), 0u) << result.out;
      for (const std::string& word : words) {
        EXPECT_NE(result.out.find(word), std::string::npos) << command << ": " << word;
      }
    }
  }
}

TEST_F(NonBlindCommand, BothCommandsSharpenWithTheTrueKernel) {
  const double before = testing::psnr(blurred_, sharp_, kSide, kSide, 0);
  // Every way of solving the gradient step: the two closed forms (1/2 and
  // 2/3) and the table of other exponents.
  for (const std::vector<std::string>& line :
       {std::vector<std::string>{"marlin"}, {"osprey"}, {"osprey", "30000", "0.667"},
        {"osprey", "30000", "0.8"}}) {
    const std::string command = line[0];
    const std::string output = "out.png";
    std::vector<std::string> args = {"blurred.png", "kernel.png", output};
    args.insert(args.end(), line.begin() + 1, line.end());
    const auto result = runCommand(command, args, dir_);
    ASSERT_EQ(result.status, 0) << command << ": " << result.err;
    EXPECT_EQ(result.out.substr(0, 35), "read images...\nstart deblurring...\n");
    EXPECT_NE(result.out.find("time cost : 0(m)"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - 16), "save results...\n");
    const double after = testing::psnr(read(output), sharp_, kSide, kSide, 0);
    EXPECT_GT(after, before + kMinimumPsnrGain)
        << command << " " << args.back() << " from " << before << " dB";
  }
}

TEST_F(NonBlindCommand, AutoMatchesTheWeightToTheNoise) {
  const RealCase real = realCase(kRealSide, kNoisySigma, 7);
  writeReal("noisy.png", real);
  const double before = testing::psnr(real.blurred, real.truth, kRealSide, kRealSide, 0);
  for (const std::vector<std::string>& line :
       {std::vector<std::string>{"marlin", "wtdeconv"}, {"osprey", "lambda"},
        {"osprey", "lambda", "0.667"}}) {
    double psnr[2] = {0.0, 0.0};
    for (int automatic = 0; automatic < 2; ++automatic) {
      std::vector<std::string> args = {"noisy.png", "real_kernel.png", "out.png"};
      if (line.size() > 2) {
        args.push_back(automatic ? "auto" : line[0] == "osprey" ? "30000" : "0.0002");
        args.push_back(line[2]);
      } else if (automatic) {
        args.push_back("auto");
      }
      const auto result = runCommand(line[0], args, dir_);
      ASSERT_EQ(result.status, 0) << line[0] << ": " << result.err;
      EXPECT_EQ(result.out.find(line[1] + " auto: ") != std::string::npos, automatic == 1)
          << result.out;
      psnr[automatic] = testing::psnr(read("out.png"), real.truth, kRealSide, kRealSide, 0);
    }
    const std::string name = line[0] + (line.size() > 2 ? " " + line[2] : "");
    EXPECT_GT(psnr[1], psnr[0] + kAutoGain) << name;
    EXPECT_GT(psnr[1], before + kAutoGainOverBlurred) << name << " from " << before << " dB";
  }
}

TEST_F(NonBlindCommand, NumbersGivenAreUsedAsGiven) {
  // The defaults spelt out give the very same picture as no numbers.
  for (const std::vector<std::string>& line :
       {std::vector<std::string>{"marlin", "0.0002"}, {"osprey", "30000", "0.5"}}) {
    ASSERT_EQ(runCommand(line[0], {"blurred.png", "kernel.png", "plain.png"}, dir_).status, 0);
    std::vector<std::string> args = {"blurred.png", "kernel.png", "given.png"};
    args.insert(args.end(), line.begin() + 1, line.end());
    ASSERT_EQ(runCommand(line[0], args, dir_).status, 0);
    EXPECT_EQ(testing::readWholeFile(path("plain.png")), testing::readWholeFile(path("given.png")))
        << line[0];
  }
}

TEST_F(NonBlindCommand, TheBorderBandIsRestoredAsWellAsTheInterior) {
  const RealCase large = realCase(kRealSide + 2 * kSurroundings, 0.0, 0);
  RealCase real;
  real.rows = real.cols = kRealSide;
  real.blurred = innerWindow(large.blurred, large.rows, large.cols, kSurroundings);
  real.truth = innerWindow(large.truth, large.rows, large.cols, kSurroundings);
  writeReal("real.png", real);
  writeReal("large.png", large);
  for (const std::vector<std::string>& line :
       {std::vector<std::string>{"marlin"}, {"osprey"}, {"osprey", "30000", "0.667"}}) {
    const std::string name = line.size() > 1 ? line[0] + " " + line[2] : line[0];
    const std::vector<std::string> numbers(line.begin() + 1, line.end());
    std::vector<double> results[2];
    for (int i = 0; i < 2; ++i) {
      std::vector<std::string> args = {i == 0 ? "real.png" : "large.png", "real_kernel.png",
                                       "out.png"};
      args.insert(args.end(), numbers.begin(), numbers.end());
      const auto result = runCommand(line[0], args, dir_);
      ASSERT_EQ(result.status, 0) << name << ": " << result.err;
      results[i] = read("out.png");
    }
    const BorderErrors alone = borderErrors(results[0], real.truth, kRealSide, kRealSide,
                                            kRealKernel);
    const BorderErrors inside =
        borderErrors(innerWindow(results[1], large.rows, large.cols, kSurroundings), real.truth,
                     kRealSide, kRealSide, kRealKernel);
    EXPECT_LE(alone.strip, kStripTolerance * inside.strip) << name;
    EXPECT_LE(alone.band, kBandTolerance * inside.band) << name;
    EXPECT_LE(alone.interior, kInteriorTolerance * inside.interior) << name;
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

TEST_F(NonBlindCommand, PicturesTooLargeForTheMemoryAreRefusedFromTheirHeaders) {
  const auto result =
      runCommand("osprey", {"--max-memory", "1M", "blurred.png", "kernel.png", "out.png"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "read images...\nCannot open the file blurred.png\n");
  EXPECT_NE(result.err.find("cannot read 'blurred.png': "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("would need about"), std::string::npos) << result.err;
  // A kernel picture is judged with the picture it would be padded around.
  write("bomb.png", std::vector<double>(9, 0.5), 3, 3);
  testing::announcePngFileSize(path("bomb.png"), 16383, 16383);
  const auto bomb =
      runCommand("marlin", {"--max-memory=8G", "blurred.png", "bomb.png", "out.png"}, dir_);
  EXPECT_EQ(bomb.status, 1);
  EXPECT_NE(bomb.err.find("cannot read 'bomb.png': "), std::string::npos) << bomb.err;
  EXPECT_NE(bomb.err.find("more than the 8.0 GiB that --max-memory allows"), std::string::npos)
      << bomb.err;
  EXPECT_FALSE(fileExists(path("out.png")));
  EXPECT_EQ(runCommand("marlin", {"blurred.png", "kernel.png", "out.png", "--max-memory"}, dir_)
                .status,
            2);
}

TEST_F(NonBlindCommand, SixteenBitsAreWrittenOnlyToAPng) {
  const auto refused =
      runCommand("marlin", {"--depth", "16", "blurred.png", "kernel.png", "out.jpg"}, dir_);
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("--depth 16 needs a PNG output"), std::string::npos) << refused.err;
  EXPECT_FALSE(fileExists(path("out.jpg")));
  ASSERT_EQ(runCommand("osprey", {"blurred.png", "kernel.png", "out.png", "--depth=16"}, dir_)
                .status,
            0);
  EXPECT_EQ(static_cast<unsigned char>(testing::readWholeFile(path("out.png")).at(24)), 16);
}

TEST_F(NonBlindCommand, NumbersOutsideTheirRangesAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"marlin", "0"}, {"marlin", "-1"}, {"marlin", "0.02x"}, {"marlin", "101"},
      {"marlin", "Auto"}, {"osprey", "0"}, {"osprey", "2e9"}, {"osprey", "30000", "0"},
      {"osprey", "30000", "-0.5"}, {"osprey", "30000", "1.0001"}, {"osprey", "30000", "2"},
      {"osprey", "30000", "nan"}, {"osprey", "30000", "auto"}, {"osprey", "auto", "auto"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"blurred.png", "kernel.png", "out.png"};
    args.insert(args.end(), c.begin() + 1, c.end());
    const auto result = runCommand(c[0], args, dir_);
    EXPECT_EQ(result.status, 2) << c[0] << " " << c.back();
    // The message names the argument and the value refused.
    EXPECT_NE(result.err.find("'" + c.back() + "'"), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(path("out.png")));
  }
}

TEST_F(NonBlindCommand, AnUnreadablePictureIsReported) {
  const auto result = runCommand("osprey", {"nothing.png", "kernel.png", "out.png"}, dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "read images...\nCannot open the file nothing.png\n");
  EXPECT_FALSE(fileExists(path("out.png")));
}

TEST_F(NonBlindCommand, AnOutputThatIsOneOfTheInputsIsRefusedBeforeAnyWork) {
  const std::string kernel = testing::readWholeFile(path("kernel.png"));
  const std::string picture = testing::readWholeFile(path("blurred.png"));
  symlink("kernel.png", path("alias.png").c_str());
  for (const char* output : {"kernel.png", "alias.png", "blurred.png"}) {
    const auto result = runCommand("osprey", {"blurred.png", "kernel.png", output}, dir_);
    EXPECT_EQ(result.status, 1) << output;
    EXPECT_EQ(result.out, "") << output;
    EXPECT_NE(result.err.find(std::string("cannot write '") + output + "': it is the same file"),
              std::string::npos)
        << result.err;
  }
  EXPECT_EQ(testing::readWholeFile(path("kernel.png")), kernel);
  EXPECT_EQ(testing::readWholeFile(path("blurred.png")), picture);
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
