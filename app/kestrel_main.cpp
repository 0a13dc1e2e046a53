// kestrel: blind removal of camera-shake blur from one photograph.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/image_io.h"
#include "app/kestrel_options.h"
#include "app/memory_budget.h"
#include "app/progress_line.h"
#include "deblur/estimation_region.h"
#include "deblur/kernel_size.h"
#include "deblur/multiscale.h"
#include "deblur/noise_estimate.h"
#include "deblur/sparse_estimation.h"
#include "deblur/tiling.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
const char kCommand[] = "kestrel";

// Estimates the kernel within region of the picture and deconvolves the
// whole picture with it; the result is the drivers'.
int deblurInRegion(const LoadedPlanes& image, double* output, double* kernel,
                   const KestrelOptions& options, const Region& region, double wtdeconv,
                   int deringing, double pictureNoise, const DeblurProgressCallback& progress) {
  announce("estimate the kernel in the " + std::to_string(region.width) + "x" +
               std::to_string(region.height) + " region at " + std::to_string(region.left) +
               "," + std::to_string(region.top) + "\n",
           progress);
  const std::vector<double> crop =
      cropPlanes(image.planes.data(), image.height, image.width, image.channels, region);
  announce("start kernel estimation...\n", progress);
  if (options.estimator == KernelEstimator::Sparse) {
    estimatePictureKernelSparse(crop.data(), region.height, region.width, image.channels, kernel,
                                options.kheight, options.kwidth, pictureNoise, progress);
  } else {
    estimateKernelMultiScale(crop.data(), region.height, region.width, image.channels, kernel,
                             options.kheight, options.kwidth, options.gamma, options.wtscale,
                             progress);
  }
  return deconvolveAnySize(image.planes.data(), output, image.height, image.width,
                           image.channels, kernel, options.kheight, options.kwidth, wtdeconv,
                           deringing, options.denoise, progress)
             ? 0
             : -1;
}

int runKestrel(int argc, const char* const* argv) {
  std::vector<std::string> words;
  int threads = 0;
  std::string reason;
  if (!takeThreadsOption(argc, argv, words, threads, reason)) {
    printError(kCommand, reason + " (see 'kestrel --help')");
    return kExitUsage;
  }
  if (threads > 0) setThreadCount(threads);
  MemoryBudget budget;
  int depth = 0;
  if (!takeMaxMemoryOption(words, budget, reason) || !takeDepthOption(words, depth, reason)) {
    printError(kCommand, reason + " (see 'kestrel --help')");
    return kExitUsage;
  }
  std::vector<const char*> arguments = {argv[0]};
  for (const std::string& word : words) arguments.push_back(word.c_str());
  const ParsedArguments parsed =
      parseKestrelArguments(static_cast<int>(arguments.size()), arguments.data());
  switch (parsed.outcome) {
    case ParseOutcome::ShowUsage:
      std::fputs(kestrelBannerAndUsage().c_str(), stdout);
      return kExitUsage;
    case ParseOutcome::ShowHelp:
      std::fputs(kestrelHelp().c_str(), stdout);
      return kExitSuccess;
    case ParseOutcome::ShowVersion:
      std::fputs(kestrelVersion().c_str(), stdout);
      return kExitSuccess;
    case ParseOutcome::UsageError:
      printError(kCommand, parsed.error + " (see 'kestrel --help')");
      return kExitUsage;
    case ParseOutcome::Run:
      break;
  }
  KestrelOptions options = parsed.options;
  const bool automaticSize = options.autoKernelWidth || options.autoKernelHeight;
  const std::string kernelPath = kernelPathFor(options.input);
  if (!depthFitsOutput(depth, options.output, reason)) {
    printError(kCommand, reason + " (see 'kestrel --help')");
    return kExitUsage;
  }

  if (!checkDestinations({options.output, kernelPath}, {options.input}, reason)) {
    printError(kCommand, reason);
    return kExitFailure;
  }

  // A picture too large for the machine is refused from its header, before
  // its pixels are decoded.
  const Workload workload = options.estimator == KernelEstimator::Sparse ? Workload::SparseBlind
                                                                         : Workload::ClassicBlind;
  const auto fitsMachine = [&](int width, int height, int planes, std::string& refusal) {
    const KernelSize largest = largestKernelSize(options, width, height);
    const RunShape shape{width,          height,        planes, largest.width,
                         largest.height, threadCount(), options.denoise >= 1};
    return fitsMemory(workload, shape, budget, refusal);
  };
  LoadedPlanes image;
  if (!loadImagePlanes(options.input, image, reason, RowOrder::TopDown, fitsMachine)) {
    std::printf("Cannot open the file %s\n", options.input.c_str());
    printError(kCommand, reason);
    return kExitFailure;
  }
  const bool needsNoise = automaticSize || options.estimator == KernelEstimator::Sparse;
  const double pictureNoise =
      needsNoise
          ? estimatePictureNoise(image.planes.data(), image.height, image.width, image.channels)
          : 0.0;
  ProgressLine progressLine(
      isatty(STDERR_FILENO) != 0,
      blindStageWeights(options.estimator == KernelEstimator::Sparse, automaticSize));
  const auto start = std::chrono::steady_clock::now();
  if (automaticSize) {
    const KernelSize probe = largestKernelSize(options, image.width, image.height);
    if (!kernelSizeMeasurable(options, probe, image.width, image.height, reason)) {
      printError(kCommand, reason);
      return kExitUsage;
    }
    announce("measure the kernel size...\n", progressLine.callback());
    const KernelSize measured = measureKernelSize(
        image.planes.data(), image.height, image.width, image.channels,
        {options.kwidth, options.kheight}, options.autoKernelWidth, options.autoKernelHeight,
        pictureNoise, progressLine.callback());
    options.kwidth = measured.width;
    options.kheight = measured.height;
    const std::string chosen = "kernel size " + std::to_string(options.kwidth) + "x" +
                               std::to_string(options.kheight) + " (measured)\n";
    announce(chosen.c_str(), progressLine.callback());
  }
  if (!kernelFitsPicture(options, image.width, image.height, reason)) {
    printError(kCommand, reason);
    return kExitUsage;
  }
  Region region;
  {
    std::vector<double> grey;
    std::vector<double> clipped;
    // Only the classic estimator's window is chosen here; the sparse one
    // chooses its own.
    if (options.autoRegion && options.estimator == KernelEstimator::Classic) {
      grey = gammaGreyImage(image.planes.data(), image.height, image.width, image.channels, 1.0);
      clipped = clippedPixels(image.planes.data(), image.height, image.width, image.channels);
    }
    if (!estimationRegion(options, image.width, image.height, grey.data(), clipped.data(), region,
                          reason)) {
      printError(kCommand, reason);
      return kExitUsage;
    }
  }
  const bool wholePicture = region.width == image.width && region.height == image.height;

  std::vector<double> output(image.planes.size());
  std::vector<double> kernel(static_cast<std::size_t>(options.kwidth) * options.kheight, 0.0);

  const double wtdeconv =
      options.autoDeconvWeight
          ? blindDeconvWeight(
                planeNoise(image.planes.data(), image.height, image.width, image.channels))
          : options.wtdeconv;
  const int deringing = deringingWeight(options.wtderinging);
  int result = 0;
  if (!wholePicture) {
    result = deblurInRegion(image, output.data(), kernel.data(), options, region, wtdeconv,
                            deringing, pictureNoise, progressLine.callback());
  } else if (options.estimator == KernelEstimator::Sparse) {
    result = deblurSparse(image.planes.data(), output.data(), image.height, image.width,
                          image.channels, kernel.data(), options.kheight, options.kwidth,
                          wtdeconv, deringing, options.denoise, pictureNoise,
                          progressLine.callback());
  } else {
    result = deblurMultiScale(image.planes.data(), output.data(), image.height, image.width,
                              image.channels, kernel.data(), options.kheight, options.kwidth,
                              options.gamma, options.wtscale, wtdeconv, deringing,
                              options.denoise, progressLine.callback());
  }
  const std::chrono::duration<double, std::milli> elapsed =
      std::chrono::steady_clock::now() - start;
  progressLine.clear();

  int status = kExitSuccess;
  if (result < 0) {
    std::printf("error in running deblur.\n");
    status = kExitFailure;
  }
  std::fputs(blindTimeCostText(elapsed.count()).c_str(), stdout);
  std::printf("save results...\n");
  std::fflush(stdout);

  // Both pictures or neither: a kernel picture that cannot be written must
  // not leave a deblurred picture behind, nor the reverse.
  PictureBatch results;
  if (!results.addPlanes(output.data(), image.width, image.height, image.channels,
                         options.output, reason, RowOrder::TopDown, &image.metadata,
                         outputDepth(depth, image.bitsPerSample, options.output)) ||
      !results.addKernelImage(kernel.data(), options.kwidth, options.kheight, kernelPath, 1,
                              reason) ||
      !results.commit(reason)) {
    printError(kCommand, reason);
    return kExitFailure;
  }
  return status;
}

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  kestrel::keepFreedMemoryForReuse();
  try {
    return kestrel::runKestrel(argc, argv);
  } catch (const std::bad_alloc&) {
    kestrel::printError(kestrel::kCommand, "out of memory");
  } catch (const std::exception& error) {
    kestrel::printError(kestrel::kCommand, error.what());
  }
  return kestrel::kExitFailure;
}
