#include "app/kestrel_options.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <vector>

#include "app/command_line.h"
#include "app/image_io.h"
#include "deblur/pyramid_schedule.h"
#include "deblur/sparse_estimation.h"

namespace kestrel {
namespace {

constexpr std::size_t kRequiredArguments = 5;
constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// Positional words up to and including wtdeconv.
constexpr std::size_t kWordsThroughWtdeconv = 7;
const char kAutoWord[] = "auto";

struct RealArgument {
  const char* name;
  double* value;
  NumberRange range;
  bool* automatic;  // set instead of value when the text is kAutoWord; null if not allowed
};

std::string describe(const char* name, const std::string& text, const std::string& problem) {
  return std::string(name) + " '" + text + "' " + problem;
}

ParsedArguments usageError(std::string message) {
  ParsedArguments parsed;
  parsed.outcome = ParseOutcome::UsageError;
  parsed.error = std::move(message);
  return parsed;
}

// The last --estimator given, taken out of words; false with error set for
// a missing or unknown name.
bool takeEstimatorOption(std::vector<std::string>& words, KernelEstimator& estimator,
                         std::string& error) {
  const std::string option = "--estimator";
  bool missingValue = false;
  for (const std::string& name : takeOptionValues(words, option, missingValue)) {
    if (name == "classic") {
      estimator = KernelEstimator::Classic;
    } else if (name == "sparse") {
      estimator = KernelEstimator::Sparse;
    } else {
      error = option + " '" + name + "' must be classic or sparse";
      return false;
    }
  }
  if (missingValue) {
    error = option + " needs a name: classic or sparse";
    return false;
  }
  return true;
}

bool parseRegion(const std::string& text, Region& region) {
  int values[4] = {0, 0, 0, 0};
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t comma = i < 3 ? text.find(',', start) : text.size();
    if (comma == std::string::npos) return false;
    if (!parseInteger(text.substr(start, comma - start), values[i])) return false;
    start = comma + 1;
  }
  region = {values[0], values[1], values[2], values[3]};
  return region.left >= 0 && region.top >= 0 && region.width >= 1 && region.height >= 1;
}

// The last --region given, taken out of words into options; false with
// error set for a missing or malformed one.
bool takeRegionOption(std::vector<std::string>& words, KestrelOptions& options,
                      std::string& error) {
  const std::string option = "--region";
  bool missingValue = false;
  for (const std::string& text : takeOptionValues(words, option, missingValue)) {
    options.autoRegion = text == kAutoWord;
    options.regionGiven = !options.autoRegion;
    if (options.regionGiven && !parseRegion(text, options.region)) {
      error = option + " '" + text +
              "' must be auto or X,Y,W,H: the left column, top row, width and height in "
              "pixels, W and H at least 1";
      return false;
    }
  }
  if (missingValue) {
    error = option + " needs auto or X,Y,W,H";
    return false;
  }
  return true;
}

// The words left once --estimator is taken out, input first.
ParsedArguments parsePositionals(const std::vector<std::string>& words) {
  ParsedArguments parsed;
  const std::size_t count = words.size();
  if (count >= 1) {
    const std::string& first = words[0];
    if (first == "--help" || first == "-h") {
      parsed.outcome = ParseOutcome::ShowHelp;
      return parsed;
    }
    if (first == "--version") {
      parsed.outcome = ParseOutcome::ShowVersion;
      return parsed;
    }
  }
  if (count < kRequiredArguments) {
    parsed.outcome = ParseOutcome::ShowUsage;
    return parsed;
  }

  KestrelOptions& options = parsed.options;
  options.input = words[0];
  options.output = words[1];
  if (options.input.empty()) return usageError("input path is empty");
  if (formatFromPath(options.output) == ImageFormat::None) {
    return usageError("output '" + options.output +
                      "' must end in png, jpg or bmp to choose the picture format");
  }

  const char* sizeNames[2] = {"kwidth", "kheight"};
  int* sizes[2] = {&options.kwidth, &options.kheight};
  bool* automaticSizes[2] = {&options.autoKernelWidth, &options.autoKernelHeight};
  for (int i = 0; i < 2; ++i) {
    const std::string& text = words[2 + i];
    if (text == kAutoWord) {
      *automaticSizes[i] = true;
      continue;
    }
    if (!parseInteger(text, *sizes[i])) {
      return usageError(describe(sizeNames[i], text, "is not a whole number or auto"));
    }
    if (*sizes[i] < 1) return usageError(describe(sizeNames[i], text, "must be at least 1"));
    if (*sizes[i] % 2 == 0) {
      return usageError(describe(sizeNames[i], text,
                                 "must be odd: the kernel needs a centre pixel"));
    }
  }
  if (!options.autoKernelWidth && !options.autoKernelHeight &&
      std::max(options.kwidth, options.kheight) < 3) {
    return usageError("kernel 1x1 is no blur: kwidth or kheight must be at least 3");
  }

  const RealArgument reals[] = {
      {"gamma", &options.gamma, {0.0, 10.0}, nullptr},
      {"wtscale", &options.wtscale, {0.0, 100.0}, nullptr},
      {"wtdeconv", &options.wtdeconv, {0.0, 100.0}, &options.autoDeconvWeight},
      {"wtderinging", &options.wtderinging, {-kUnbounded, kUnbounded, true}, nullptr},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t position = 4 + i;
    if (position >= count) break;
    const RealArgument& argument = reals[i];
    const std::string& text = words[position];
    if (argument.automatic != nullptr && text == kAutoWord) {
      *argument.automatic = true;
      continue;
    }
    std::string problem;
    if (!parseRealInRange(argument.name, text, argument.range, *argument.value, problem)) {
      return usageError(problem);
    }
  }
  if (count > 8) {
    const std::string& text = words[8];
    if (!parseInteger(text, options.denoise)) {
      return usageError(describe("denoise", text, "is not a whole number"));
    }
  }

  if (kernelPathFor(options.input) == options.output) {
    return usageError("output '" + options.output +
                      "' is where the kernel picture of this input is written");
  }
  parsed.outcome = ParseOutcome::Run;
  return parsed;
}

}  // namespace

ParsedArguments parseKestrelArguments(int argc, const char* const* argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.push_back(argv[i]);
  KernelEstimator estimator = KernelEstimator::Classic;
  std::string error;
  KestrelOptions regionOptions;
  if (!takeEstimatorOption(words, estimator, error) ||
      !takeRegionOption(words, regionOptions, error)) {
    return usageError(error);
  }
  ParsedArguments parsed = parsePositionals(words);
  parsed.options.estimator = estimator;
  parsed.options.regionGiven = regionOptions.regionGiven;
  parsed.options.autoRegion = regionOptions.autoRegion;
  parsed.options.region = regionOptions.region;
  // The sparse estimator comes with a weight matched to the picture's noise
  // unless one is given.
  if (estimator == KernelEstimator::Sparse && words.size() < kWordsThroughWtdeconv) {
    parsed.options.autoDeconvWeight = true;
  }
  return parsed;
}

int deringingWeight(double wtderinging) {
  const double capped = wtderinging > 5.0 ? 5.0 : wtderinging;
  return static_cast<int>(capped * 10.0 + 0.5);
}

std::string kernelPathFor(const std::string& input) {
  const std::string stem = input.size() > 4 ? input.substr(0, input.size() - 4) : std::string();
  return stem + "_kernel.png";
}

bool kernelFitsPicture(const KestrelOptions& options, int width, int height,
                       std::string& error) {
  const bool fits =
      options.estimator == KernelEstimator::Sparse
          ? sparseScheduleFitsPicture(
                sparseSchedule(width, height, options.kwidth, options.kheight))
          : scheduleFitsPicture(pyramidSchedule(width, height, options.kwidth, options.kheight));
  if (fits) return true;
  error = "kernel " + std::to_string(options.kwidth) + "x" + std::to_string(options.kheight) +
          " is too large for the " + std::to_string(width) + "x" + std::to_string(height) +
          " picture '" + options.input +
          "': every level of the pyramid must be at least as large as its kernel";
  return false;
}

bool estimationRegion(const KestrelOptions& options, int width, int height, const double* grey,
                      const double* clipped, Region& region, std::string& reason) {
  region = {0, 0, width, height};
  if (options.autoRegion && options.estimator == KernelEstimator::Classic) {
    region = richestRegion(grey, clipped, height, width, kClassicRegionPixels);
  }
  if (!options.regionGiven) return true;
  const Region& given = options.region;
  const std::string text = std::to_string(given.left) + "," + std::to_string(given.top) + "," +
                           std::to_string(given.width) + "," + std::to_string(given.height);
  if (static_cast<long long>(given.left) + given.width > width ||
      static_cast<long long>(given.top) + given.height > height) {
    reason = "--region " + text + " reaches beyond the " + std::to_string(width) + "x" +
             std::to_string(height) + " picture '" + options.input + "'";
    return false;
  }
  if (!kernelFitsPicture(options, given.width, given.height, reason)) {
    reason = "--region " + text + ": " + reason;
    return false;
  }
  region = given;
  return true;
}

KernelSize largestKernelSize(const KestrelOptions& options, int width, int height) {
  const int probe = std::max(3, probeKernelSide(width, height));
  return {options.autoKernelWidth ? probe : options.kwidth,
          options.autoKernelHeight ? probe : options.kheight};
}

bool kernelSizeMeasurable(const KestrelOptions& options, KernelSize probe, int width,
                          int height, std::string& error) {
  const std::string picture = std::to_string(width) + "x" + std::to_string(height) +
                              " picture '" + options.input + "'";
  if (probeKernelSide(width, height) == 0) {
    error = "the " + picture + " is too small to measure a kernel size in";
    return false;
  }
  if (sparseScheduleFitsPicture(sparseSchedule(width, height, probe.width, probe.height))) {
    return true;
  }
  error = "kernel " + std::to_string(probe.width) + "x" + std::to_string(probe.height) +
          ", which measures the kernel size, is too large for the " + picture +
          ": give both sides as numbers";
  return false;
}

std::string kestrelBannerAndUsage() {
  return "Kestrel\n"
         "version 0.8\n\n"
         "usage: kestrel input output kwidth kheight gamma wtscale wtdeconv wtderinging denoise\n"
         "example: kestrel boat.png boatout.png 31 31 2.2 0.7 2e-2 1 0\n";
}

std::string kestrelVersion() { return "kestrel version 0.8\n"; }

std::string kestrelHelp() {
  return kestrelBannerAndUsage() +
         "\n"
         "Removes camera-shake blur from one photograph. Writes the deblurred picture to\n"
         "output and the estimated kernel, as a grey picture, beside the input (the input\n"
         "path without its last four characters, followed by _kernel.png).\n"
         "\n"
         "  input        blurred picture: PNG, JPEG or BMP\n"
         "  output       deblurred picture; its ending (png, jpg, bmp) chooses the format\n"
         "  kwidth       width of the largest expected blur, in pixels; odd, at least 1\n"
         "  kheight      height of the largest expected blur, in pixels; odd, at least 1\n"
         "               (the larger of the two at least 3; sizes of 15 to 61 are typical);\n"
         "               either may be auto: the blur is first measured with a probe\n"
         "               kernel and the size that holds it is used\n"
         "  gamma        exponent applied to the samples before the kernel is estimated;\n"
         "               above 0, at most 10 (2.2 suits ordinary photographs, 1 linear data);\n"
         "               the sparse estimator works on the samples as they are\n"
         "  wtscale      how many edges the classic estimation trusts; above 0, at most\n"
         "               100 (default 0.7)\n"
         "  wtdeconv     smoothness weight of the final deconvolution; above 0, at most 100\n"
         "               (default 0.02; smaller keeps more detail and more noise),\n"
         "               or auto, to pick it from the noise measured in the picture,\n"
         "               allowing for what an estimated kernel leaves unexplained (the\n"
         "               default with --estimator sparse)\n"
         "  wtderinging  strength of the ringing suppression, used up to 5; 0.1 or less\n"
         "               turns it off (default 1)\n"
         "  denoise      1 or more uses a deconvolution robust to noise and outliers\n"
         "               (default 0)\n"
         "\n"
         "  --threads N  threads to use, 1 to 256 (default: KESTREL_THREADS, else every\n"
         "               core); the result does not depend on it\n"
         "  --depth 8|16 bits a channel of a PNG output (default: 16 for a 16-bit PNG\n"
         "               input, else 8)\n"
         "  --max-memory SIZE\n"
         "               refuse, before any work, a picture whose run would need more\n"
         "               memory than SIZE, such as 512M or 4G (default: the memory the\n"
         "               machine has available)\n"
         "  --estimator classic|sparse\n"
         "               the kernel estimator: sparse, a sparse-gradient estimator, more\n"
         "               accurate on noisy photos and on large blurs, or classic, the\n"
         "               original edge-prediction estimator (the default)\n"
         "  --region X,Y,W,H|auto\n"
         "               estimate the kernel only within the W x H window whose top left\n"
         "               pixel is column X, row Y, or (auto) within the window of at most\n"
         "               2 megapixels richest in edges of every orientation away from\n"
         "               clipped highlights; the whole picture is deblurred with it.\n"
         "               Saves time and memory on large photos. The sparse estimator\n"
         "               picks such a window of half a megapixel by itself\n"
         "\n"
         "Exit status: 0 on success, 2 for a usage error, 1 for any other failure.\n";
}

}  // namespace kestrel
