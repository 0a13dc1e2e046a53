// The blind command's arguments, their checks and the values derived from
// them, kept apart from the run so that they can be tested without a deblur.
#pragma once

#include <string>

#include "deblur/estimation_region.h"
#include "deblur/kernel_size.h"

namespace kestrel {

// How the blur kernel is estimated: Classic predicts sharp edges and fits
// the kernel to them; Sparse fits it under a sparse-gradient prior, which
// holds up better on noisy photos and large blurs.
enum class KernelEstimator { Classic, Sparse };

struct KestrelOptions {
  std::string input;
  std::string output;
  int kwidth = 0;
  int kheight = 0;
  double gamma = 0.0;
  double wtscale = 0.7;
  double wtdeconv = 0.02;
  double wtderinging = 1.0;
  int denoise = 0;
  KernelEstimator estimator = KernelEstimator::Classic;
  // The side is to be measured from the picture (kwidth or kheight auto); it
  // holds 0 until then.
  bool autoKernelWidth = false;
  bool autoKernelHeight = false;
  // The deconvolution weight is to be picked from the noise measured in the
  // picture; wtdeconv then keeps its default.
  bool autoDeconvWeight = false;
  // The window the kernel is estimated on: the whole picture unless one is
  // given (--region X,Y,W,H) or to be chosen from the picture (--region
  // auto). The whole picture is deconvolved either way.
  bool regionGiven = false;
  bool autoRegion = false;
  Region region;
};

enum class ParseOutcome {
  Run,          // options are complete and valid
  ShowUsage,    // too few arguments: banner and usage, usage error status
  ShowHelp,     // --help
  ShowVersion,  // --version
  UsageError,   // a bad argument; error says which and why
};

struct ParsedArguments {
  ParseOutcome outcome = ParseOutcome::ShowUsage;
  KestrelOptions options;
  std::string error;
};

// Reads `kestrel input output kwidth kheight gamma [wtscale wtdeconv
// wtderinging denoise]`; arguments after the ninth are ignored. Numbers are
// parsed strictly and checked against the ranges where the maths is defined.
// kwidth, kheight and wtdeconv may also be the word auto. "--estimator NAME" or
// "--estimator=NAME", NAME classic or sparse, may stand anywhere among the
// words and is taken out before the rest is read; given more than once, the
// last counts. With sparse and no wtdeconv, the weight is auto. "--region
// X,Y,W,H" (whole numbers, W and H at least 1) or "--region auto" may stand
// anywhere likewise.
ParsedArguments parseKestrelArguments(int argc, const char* const* argv);

// wtderinging capped at 5, times 10, rounded half up: 1.0 gives 10, 7 gives
// 50, 0.25 gives 3, 0.04 gives 0.
int deringingWeight(double wtderinging);

// The input path without its last four characters, followed by
// "_kernel.png": boat.png gives boat_kernel.png, photo.jpeg gives
// photo._kernel.png, and a path of four characters or fewer gives
// _kernel.png.
std::string kernelPathFor(const std::string& input);

// Checks that the picture is large enough for the kernel at every pyramid
// level; on false, error names the sizes.
bool kernelFitsPicture(const KestrelOptions& options, int width, int height,
                       std::string& error);

// The kernel size of the run's largest estimate on a width x height picture:
// the size given, with every automatic side at the largest its measurement
// may probe or choose (probeKernelSide, at least 3).
// The region of a picture of width x height the kernel is estimated on:
// the one given, the richest in edges for auto (the classic estimator's at
// most kClassicRegionPixels, while the sparse estimator chooses its own
// window within the whole picture), else the whole picture. False, with
// reason set, for a given region reaching beyond the picture or too small
// for the kernel. grey and clipped are the picture's grey image and clipped
// pixels, read for auto only.
constexpr double kClassicRegionPixels = 2.0 * 1024.0 * 1024.0;
bool estimationRegion(const KestrelOptions& options, int width, int height, const double* grey,
                      const double* clipped, Region& region, std::string& reason);

KernelSize largestKernelSize(const KestrelOptions& options, int width, int height);

// Checks that an automatic size can be measured on the picture with probes
// up to the largest; on false, error says why.
bool kernelSizeMeasurable(const KestrelOptions& options, KernelSize probe, int width,
                          int height, std::string& error);

// The texts printed for too few arguments, --help and --version.
std::string kestrelBannerAndUsage();
std::string kestrelHelp();
std::string kestrelVersion();

}  // namespace kestrel
