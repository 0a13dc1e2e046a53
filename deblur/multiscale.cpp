#include "deblur/multiscale.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "deblur/pyramid_schedule.h"
#include "deblur/recentre.h"
#include "deblur/resample.h"
#include "deblur/tiling.h"
#include "fourier/grid.h"
#include "fourier/kernel_estimation.h"
#include "fourier/latent_estimation.h"
#include "fourier/level_spectra.h"
#include "parallel/parallel.h"
#include "prediction/prediction_engine.h"

namespace kestrel {
namespace {

using Plane = std::vector<double>;

constexpr double kKernelWeight = 40.0;
constexpr double kLatentWeight = 0.002;
// A re-centred kernel is kept only if the shift lost at most 10 % of its mass.
constexpr double kRecentreKeptMass = 0.9;
// The coherence mask only helps the first predictions of a level; later
// ones see every pixel.
constexpr int kMaskedIterations = 5;

double sumOf(const Plane& values) {
  double sum = 0.0;
  for (double v : values) sum += v;
  return sum;
}

Plane initialKernel(const std::vector<PyramidLevel>& schedule, int s, const Plane& coarser) {
  const PyramidLevel& level = schedule[s];
  Plane kernel;
  if (s + 1 == static_cast<int>(schedule.size())) {
    kernel = centredDelta(level.kernelHeight, level.kernelWidth);
  } else {
    const PyramidLevel& previous = schedule[s + 1];
    kernel.resize(cellCount(level.kernelHeight, level.kernelWidth));
    resampleToSize(coarser.data(), kernel.data(), previous.kernelHeight, previous.kernelWidth,
                   level.kernelHeight, level.kernelWidth);
  }
  clampAndNormalise(kernel, level.kernelHeight, level.kernelWidth);
  return kernel;
}

// Clears entries not above fraction * largest, renormalises, then moves the
// kernel onto its centre of mass when that keeps enough of it.
void cleanKernel(Plane& kernel, int rows, int cols, double fraction) {
  double largest = 0.0;
  for (double v : kernel) largest = std::max(largest, v);
  for (double& v : kernel) {
    if (!(v > fraction * largest)) v = 0.0;
  }
  normaliseOrReset(kernel, rows, cols);

  Plane centred(kernel.size());
  recentreKernel(kernel.data(), centred.data(), cols, rows);
  const double kept = sumOf(centred);
  if (kept >= kRecentreKeptMass * sumOf(kernel) && kept > 0.0) {
    for (double& v : centred) v /= kept;
    kernel = std::move(centred);
  }
}

}  // namespace

void estimateKernelMultiScale(const double* input, int height, int width, int channels,
                              double* kernel, int kheight, int kwidth, double gamma,
                              double wtscale, const DeblurProgressCallback& progress) {
  const double fraction = kernelThresholdFraction(kwidth, kheight);
  const std::vector<PyramidLevel> schedule = pyramidSchedule(width, height, kwidth, kheight);
  const int levels = static_cast<int>(schedule.size());

  std::vector<Plane> pyramid(levels);
  pyramid[0] = gammaGreyImage(input, height, width, channels, gamma);
  for (int s = 1; s < levels; ++s) {
    pyramid[s].resize(cellCount(schedule[s].height, schedule[s].width));
    resampleByScale(pyramid[0].data(), pyramid[s].data(), height, width, schedule[s].scale);
  }

  // Work of a level, for progress reports: its pixels times its iterations.
  std::vector<double> workBefore(levels + 1, 0.0);
  for (int s = levels - 1; s >= 0; --s) {
    workBefore[s] = workBefore[s + 1] + static_cast<double>(schedule[s].width) *
                                            schedule[s].height * schedule[s].iterations;
  }

  Plane levelKernel;
  Plane latent;
  for (int s = levels - 1; s >= 0; --s) {
    const PyramidLevel& level = schedule[s];
    const int rows = level.height;
    const int cols = level.width;
    const int kernelRows = level.kernelHeight;
    const int kernelCols = level.kernelWidth;
    announce("Level " + std::to_string(s) + "\n", progress);

    levelKernel = initialKernel(schedule, s, levelKernel);
    LevelSpectra spectra;
    prepareLevelSpectra(pyramid[s].data(), levelKernel.data(), cols, rows, kernelCols,
                        kernelRows, spectra);

    if (s == levels - 1) {
      latent = pyramid[s];
    } else {
      Plane finer(cellCount(rows, cols));
      resampleToSize(latent.data(), finer.data(), schedule[s + 1].height, schedule[s + 1].width,
                     rows, cols);
      latent = std::move(finer);
    }

    Plane coherence(cellCount(rows, cols));
    gradientCoherenceMap(spectra, coherence.data(), rows, cols, level.boxRows, level.boxCols);

    // The engine carries its evolving thresholds and smoothing from one
    // iteration of the level to the next.
    PredictionParams params;
    params.latent = latent.data();
    params.width = cols;
    params.height = rows;
    params.planes = 1;
    params.kernelWidth = kernelCols;
    params.kernelHeight = kernelRows;
    CImageMyPredictionEngine engine;
    engine.init(params, coherence.data(), wtscale);

    for (int k = 0; k < level.iterations; ++k) {
      if (progress) {
        DeblurProgress report;
        report.level = levels - s;
        report.levels = levels;
        report.iteration = k + 1;
        report.iterations = level.iterations;
        report.done = (workBefore[s + 1] + static_cast<double>(rows) * cols * k) / workBefore[0];
        progress(report);
      }
      engine.predict();
      if (k + 1 >= kMaskedIterations) engine.coherenceThreshold = 0.0;

      estimateKernel(engine.gradX.data(), engine.gradY.data(), spectra, rows, cols, kernelRows,
                     kernelCols, levelKernel.data(), kKernelWeight);
      cleanKernel(levelKernel, kernelRows, kernelCols, fraction);
      // The finest level's last latent estimate would serve no one: the
      // final stage deconvolves the picture itself.
      if (s > 0 || k + 1 < level.iterations) {
        estimateLatent(levelKernel.data(), latent.data(), spectra, rows, cols, kernelRows,
                       kernelCols, kLatentWeight);
      }
    }
  }
  std::copy(levelKernel.begin(), levelKernel.end(), kernel);
}

int deblurMultiScale(const double* input, double* output, int height, int width, int channels,
                     double* kernel, int kheight, int kwidth, double gamma, double wtscale,
                     double wtdeconv, int deringingWeight, int denoise,
                     const DeblurProgressCallback& progress) {
  announce("start kernel estimation...\n", progress);
  estimateKernelMultiScale(input, height, width, channels, kernel, kheight, kwidth, gamma,
                           wtscale, progress);
  return deconvolveAnySize(input, output, height, width, channels, kernel, kheight, kwidth,
                           wtdeconv, deringingWeight, denoise, progress)
             ? 0
             : -1;
}

}  // namespace kestrel
