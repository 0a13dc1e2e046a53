#include "deblur/sparse_estimation.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#include "deblur/estimation_region.h"
#include "deblur/pyramid_schedule.h"
#include "deblur/resample.h"
#include "deblur/tiling.h"
#include "fourier/fft_toolkit.h"
#include "fourier/fftw_resources.h"
#include "deblur/padding.h"
#include "parallel/parallel.h"
#include "fourier/split_transform.h"

namespace kestrel {
namespace {

using Plane = std::vector<double>;

constexpr int kRowGrain = 16;
constexpr int kIterationsPerLevel = 10;
// lambda starts each level here and is divided by kLambdaDecay every
// iteration, down to its floor.
constexpr double kLambdaStart = 1.5e-3;
constexpr double kLambdaDecay = 1.1;
constexpr double kLambdaFloor = 1e-5;
// The finest level goes on for this many iterations with lambda falling
// faster and a lighter ridge: once the kernel's shape is found, a latent
// image with finer detail pins down its exact profile. The fit gains for
// some 30 iterations at lambda's floor before it settles.
constexpr int kRefiningIterations = 30;
// The refining iterations of a larger picture run on the window of this
// many pixels that holds the most edges, within the estimation window: they
// only adjust a kernel whose shape is known, and so need fewer edges.
constexpr double kMostRefiningPixels = 128.0 * 1024.0;
constexpr double kRefiningLambdaDecay = 1.3;
// Conjugate-gradient steps of each refining kernel solve, which starts from
// the kernel of the previous iteration.
constexpr int kRefiningSolveSteps = 5;
// The refining ridge's share: kRefiningRidgePerNoiseVariance times the
// noise's variance, kept between these two. Noise left in the latent
// image's fine detail needs the heavier ridge; where it needs the full one,
// the fine detail is noise and the refining iterations are left out.
constexpr double kLeastRefiningRidgeShare = 0.01;
constexpr double kRefiningRidgePerNoiseVariance = 2500.0;
// The floor also rises in proportion to the noise's variance: gradients of
// noise alone must cost more to keep than they explain.
constexpr double kLambdaPerNoiseVariance = 20.0;
// The gradient split's penalty starts at 2 lambda and doubles up to this.
constexpr double kSplitPenaltyLimit = 1e5;
// Ridge weight of the kernel step as a share of the mean gradient power of
// the latent image: enough to keep frequencies the image barely holds from
// blowing up, small enough not to blur the kernel.
constexpr double kKernelRidgeShare = 0.1;
// The kernel step weighs each frequency by the squared response of a
// Gaussian whose width in pixels is this many times the level's noise. The
// same low-pass applied to the latent and to the blurred gradients keeps the
// blur that relates them, and damps the high frequencies where noise
// outweighs what the picture holds there: without it, noisy pictures leave
// the kernel strewn with specks across its whole support. Below
// kLeastDampedNoise the damping costs more fine detail of the kernel than
// it saves from the noise, and the kernel step weighs all frequencies alike.
constexpr double kKernelLowPassPerNoise = 60.0;
constexpr double kLeastDampedNoise = 0.004;
// Kernel entries below kKernelFloorShare of the largest are cleared, and so
// are connected pieces with no entry of kKernelAnchorShare or more, or with
// less than kKernelPieceShare of the mass: real camera shake traces one
// connected path, but the camera darts between the places it dwells, so the
// strokes joining bright blobs can be ten times fainter than the blobs and
// are kept as long as they touch them. On Levin's recorded shake, clearing
// at the anchor share alone lost those strokes (2.1 dB on the longest paths).
constexpr double kKernelFloorShare = 0.02;
constexpr double kKernelAnchorShare = 0.05;
constexpr double kKernelPieceShare = 0.05;
// The kernel of a larger picture is estimated on the window of this many
// pixels that holds the most edges: one blur covers the whole picture, and
// a window of this size holds edges enough while the time stays bounded.
constexpr double kMostEstimationPixels = 512.0 * 1024.0;

std::size_t area(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

// One mirrored line of length n read at any index: ... 2 1 0 | 0 1 2 ...
double mirrored(const double* line, std::ptrdiff_t stride, int n, int index) {
  const int period = 2 * n;
  int i = ((index % period) + period) % period;
  if (i >= n) i = period - 1 - i;
  return line[i * stride];
}

// Fills the gap of `gap` samples that follows a line of n samples so that
// the line continues smoothly into its own start across the wrap-around:
// a cross-fade from its mirror image at the end into its mirror image at
// the start.
void bridgeLine(double* line, std::ptrdiff_t stride, int n, int gap) {
  for (int g = 0; g < gap; ++g) {
    const double weight = static_cast<double>(g + 1) / (gap + 1);
    const double fromEnd = mirrored(line, stride, n, n + g);
    const double fromStart = mirrored(line, stride, n, g - gap);
    line[static_cast<std::ptrdiff_t>(n + g) * stride] =
        (1.0 - weight) * fromEnd + weight * fromStart;
  }
}

// The image in the top left corner of a canvasRows x canvasCols canvas,
// the rest bridged: first along the image's rows, then down every column.
void extendAcrossWrap(const double* image, int rows, int cols, double* canvas, int canvasRows,
                      int canvasCols) {
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    for (int y = first; y < last; ++y) {
      double* line = canvas + area(y, canvasCols);
      std::copy(image + area(y, cols), image + area(y + 1, cols), line);
      bridgeLine(line, 1, cols, canvasCols - cols);
    }
  });
  parallelFor(0, canvasCols, 64, [&](int first, int last) {
    for (int x = first; x < last; ++x) {
      bridgeLine(canvas + x, canvasCols, rows, canvasRows - rows);
    }
  });
}

// 1 where the level's kernel step may use a pixel's gradients: inside the
// picture, both forward differences within it, and no clipped sample within
// a kernel's reach.
Plane kernelDataMask(const Plane& clipped, int rows, int cols, int kernelRows, int kernelCols,
                     int canvasRows, int canvasCols) {
  // Rows, then columns, of a box maximum over the kernel's extent.
  Plane across(area(rows, cols), 0.0);
  const int reachX = kernelCols / 2;
  const int reachY = kernelRows / 2;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      if (clipped[area(y, cols) + x] <= 0.0) continue;
      const int from = std::max(0, x - reachX);
      const int to = std::min(cols - 1, x + reachX);
      for (int i = from; i <= to; ++i) across[area(y, cols) + i] = 1.0;
    }
  }
  Plane mask(area(canvasRows, canvasCols), 0.0);
  for (int y = 0; y + 1 < rows; ++y) {
    for (int x = 0; x + 1 < cols; ++x) mask[area(y, canvasCols) + x] = 1.0;
  }
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      if (across[area(y, cols) + x] <= 0.0) continue;
      const int from = std::max(0, y - reachY);
      const int to = std::min(rows - 1, y + reachY);
      for (int i = from; i <= to; ++i) mask[area(i, canvasCols) + x] = 0.0;
    }
  }
  return mask;
}

// Forward differences along row y (x) and down the columns from it (y),
// circular on the canvas.
void rowGradients(const double* plane, int rows, int cols, int y, double* gradX, double* gradY) {
  const double* row = plane + area(y, cols);
  const double* below = plane + area((y + 1) % rows, cols);
  for (int x = 0; x < cols; ++x) {
    gradX[x] = (x + 1 < cols ? row[x + 1] : row[0]) - row[x];
    gradY[x] = below[x] - row[x];
  }
}

// The same over the whole canvas.
void gradients(const double* plane, int rows, int cols, double* gradX, double* gradY) {
  parallelFor(0, rows, kRowGrain, [&](int first, int last) {
    for (int y = first; y < last; ++y) {
      rowGradients(plane, rows, cols, y, gradX + area(y, cols), gradY + area(y, cols));
    }
  });
}

// Clears negative entries, faint specks, and pieces that are faint or small
// (see kKernelFloorShare), then normalises. A kernel left with no mass
// becomes the centred delta.
void cleanKernel(Plane& kernel, int rows, int cols) {
  double largest = 0.0;
  for (double v : kernel) largest = std::max(largest, v);
  if (!(largest > 0.0) || !std::isfinite(largest)) {
    kernel = centredDelta(rows, cols);
    return;
  }
  const double anchor = kKernelAnchorShare * largest;
  for (double& v : kernel) {
    if (!(v >= kKernelFloorShare * largest)) v = 0.0;
  }

  std::vector<int> piece(kernel.size(), -1);
  std::vector<int> stack;
  std::vector<std::vector<int>> members;
  std::vector<double> masses;
  std::vector<bool> anchored;
  double total = 0.0;
  for (std::size_t seed = 0; seed < kernel.size(); ++seed) {
    if (kernel[seed] <= 0.0 || piece[seed] >= 0) continue;
    const int index = static_cast<int>(members.size());
    members.emplace_back();
    masses.push_back(0.0);
    anchored.push_back(false);
    stack.push_back(static_cast<int>(seed));
    piece[seed] = index;
    while (!stack.empty()) {
      const int cell = stack.back();
      stack.pop_back();
      members[index].push_back(cell);
      masses[index] += kernel[cell];
      if (kernel[cell] >= anchor) anchored[index] = true;
      const int y = cell / cols;
      const int x = cell % cols;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int ny = y + dy;
          const int nx = x + dx;
          if (ny < 0 || ny >= rows || nx < 0 || nx >= cols) continue;
          const int neighbour = ny * cols + nx;
          if (kernel[neighbour] <= 0.0 || piece[neighbour] >= 0) continue;
          piece[neighbour] = index;
          stack.push_back(neighbour);
        }
      }
    }
    if (anchored[index]) total += masses[index];
  }
  for (std::size_t p = 0; p < members.size(); ++p) {
    if (anchored[p] && masses[p] >= kKernelPieceShare * total) continue;
    for (int cell : members[p]) kernel[cell] = 0.0;
  }

  double sum = 0.0;
  for (double v : kernel) sum += v;
  if (!(sum > 0.0)) {
    kernel = centredDelta(rows, cols);
    return;
  }
  for (double& v : kernel) v /= sum;
}

// Moves the kernel by whole pixels so that its centre of mass lands on the
// centre cell, renormalising what stays on the grid; the estimate then
// cannot creep off its support over the levels.
void centreKernel(Plane& kernel, int rows, int cols) {
  double my = 0.0, mx = 0.0, sum = 0.0;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const double v = kernel[area(y, cols) + x];
      my += v * y;
      mx += v * x;
      sum += v;
    }
  }
  if (!(sum > 0.0)) return;
  const int shiftY = static_cast<int>(std::lround(rows / 2 - my / sum));
  const int shiftX = static_cast<int>(std::lround(cols / 2 - mx / sum));
  if (shiftY == 0 && shiftX == 0) return;
  Plane moved(kernel.size(), 0.0);
  double kept = 0.0;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const int ty = y + shiftY;
      const int tx = x + shiftX;
      if (ty < 0 || ty >= rows || tx < 0 || tx >= cols) continue;
      moved[area(ty, cols) + tx] = kernel[area(y, cols) + x];
      kept += kernel[area(y, cols) + x];
    }
  }
  if (!(kept > 0.0)) return;
  for (double& v : moved) v /= kept;
  kernel = std::move(moved);
}

// The alternating estimate on one level: the blurred level image extended
// onto a canvas of fast transform lengths, its spectra, and the steps.
class SparseLevelSolver {
 public:
  // lowPassWidth: standard deviation in pixels of the kernel step's
  // Gaussian low-pass, 0 for none.
  SparseLevelSolver(const double* blurred, const Plane& clipped, int rows, int cols,
                    int kernelRows, int kernelCols, double lowPassWidth)
      : kernelRows_(kernelRows),
        kernelCols_(kernelCols),
        canvasRows_(fastTransformLength(rows + kernelRows + 1)),
        canvasCols_(fastTransformLength(cols + kernelCols + 1)),
        halfCols_(canvasCols_ / 2 + 1),
        cells_(area(canvasRows_, canvasCols_)),
        halfCells_(area(canvasRows_, halfCols_)),
        grid_(cells_),
        spectrum_(halfCells_),
        blurred_(cells_),
        blurredSpectrum_(halfCells_),
        blurredGradXSpectrum_(halfCells_),
        blurredGradYSpectrum_(halfCells_),
        kernelTimesBlurred_(halfCells_),
        latentGradXSpectrum_(halfCells_),
        latentGradYSpectrum_(halfCells_),
        kernelSpectrum_(halfCells_),
        correlationSum_(halfCells_),
        kernelPower_(halfCells_),
        differencePower_(halfCells_),
        kernelStepWeight_(halfCells_, 1.0),
        mask_(kernelDataMask(clipped, rows, cols, kernelRows, kernelCols, canvasRows_,
                             canvasCols_)),
        gradX_(cells_),
        gradY_(cells_) {
    const RowRanges all = {{0, canvasRows_}};
    forward_ = SplitRealTransform::forward(canvasRows_, canvasCols_, all, grid_.data(),
                                           spectrum_.data());
    backward_ = SplitRealTransform::backward(canvasRows_, canvasCols_, all, spectrum_.data(),
                                             grid_.data());

    extendAcrossWrap(blurred, rows, cols, blurred_.data(), canvasRows_, canvasCols_);
    std::copy(blurred_.begin(), blurred_.end(), grid_.data());
    forward_.execute();
    copySpectrum(blurredSpectrum_);

    gradients(blurred_.data(), canvasRows_, canvasCols_, gradX_.data(), gradY_.data());
    maskedForward(gradX_);
    copySpectrum(blurredGradXSpectrum_);
    maskedForward(gradY_);
    copySpectrum(blurredGradYSpectrum_);

    const double pi = std::acos(-1.0);
    for (int u = 0; u < canvasRows_; ++u) {
      const double down = 2.0 - 2.0 * std::cos(2.0 * pi * u / canvasRows_);
      for (int v = 0; v < halfCols_; ++v) {
        differencePower_[area(u, halfCols_) + v] =
            down + 2.0 - 2.0 * std::cos(2.0 * pi * v / canvasCols_);
      }
    }
    if (lowPassWidth > 0.0) {
      // |G|^2 of a Gaussian of standard deviation w: exp(-4 pi^2 w^2 |f|^2).
      const double spread = 4.0 * pi * pi * lowPassWidth * lowPassWidth;
      for (int u = 0; u < canvasRows_; ++u) {
        const double fu = static_cast<double>(u <= canvasRows_ / 2 ? u : u - canvasRows_) /
                          canvasRows_;
        for (int v = 0; v < halfCols_; ++v) {
          const double fv = static_cast<double>(v) / canvasCols_;
          kernelStepWeight_[area(u, halfCols_) + v] = std::exp(-spread * (fu * fu + fv * fv));
        }
      }
    }
  }

  // Latent image for kernel under weight lambda, on the whole canvas.
  void estimateLatent(const Plane& kernel, double lambda, Plane& latent) {
    std::fill(grid_.data(), grid_.data() + cells_, 0.0);
    placeKernel(kernel.data(), grid_.data(), canvasRows_, canvasCols_, kernelRows_, kernelCols_);
    forward_.execute();
    forEachFrequency([&](std::size_t i) {
      const double kr = spectrum_[i][0], ki = spectrum_[i][1];
      const double yr = blurredSpectrum_[i][0], yi = blurredSpectrum_[i][1];
      kernelTimesBlurred_[i][0] = kr * yr + ki * yi;
      kernelTimesBlurred_[i][1] = kr * yi - ki * yr;
      kernelPower_[i] = kr * kr + ki * ki;
    });

    latent = blurred_;
    const double cells = static_cast<double>(cells_);
    for (double beta = 2.0 * lambda; beta < kSplitPenaltyLimit; beta *= 2.0) {
      const double keep = lambda / beta;
      splitDivergence(latent, keep);
      forward_.execute();
      forEachFrequency([&](std::size_t i) {
        const double d = kernelPower_[i] + beta * differencePower_[i];
        if (d == 0.0) {
          spectrum_[i][0] = spectrum_[i][1] = 0.0;
          return;
        }
        spectrum_[i][0] = (kernelTimesBlurred_[i][0] + beta * spectrum_[i][0]) / d;
        spectrum_[i][1] = (kernelTimesBlurred_[i][1] + beta * spectrum_[i][1]) / d;
      });
      backward_.execute();
      forEachPixel([&](std::size_t i) { latent[i] = grid_[i] / cells; });
    }
  }

  // Kernel from the latent image's gradients against the blurred image's,
  // over the masked pixels; cleaned and normalised.
  void estimateKernel(const Plane& latent, double ridgeShare, Plane& kernel) {
    gradients(latent.data(), canvasRows_, canvasCols_, gradX_.data(), gradY_.data());
    FftwBuffer& numerator = correlationSum_;
    std::vector<double> denominator(halfCells_, 0.0);
    forEachFrequency([&](std::size_t i) { numerator[i][0] = numerator[i][1] = 0.0; });
    const auto accumulate = [&](const FftwBuffer& blurredGradient) {
      forEachFrequency([&](std::size_t i) {
        addCorrelation(spectrum_[i], blurredGradient[i], numerator[i]);
        denominator[i] += squaredMagnitude(spectrum_[i]);
      });
    };
    maskedForward(gradX_);
    accumulate(blurredGradXSpectrum_);
    maskedForward(gradY_);
    accumulate(blurredGradYSpectrum_);
    forEachFrequency([&](std::size_t i) {
      numerator[i][0] *= kernelStepWeight_[i];
      numerator[i][1] *= kernelStepWeight_[i];
      denominator[i] *= kernelStepWeight_[i];
    });

    double meanPower = 0.0;
    for (double d : denominator) meanPower += d;
    meanPower /= static_cast<double>(halfCells_);
    const double ridge = ridgeShare * meanPower + 1e-300;
    forEachFrequency([&](std::size_t i) {
      spectrum_[i][0] = numerator[i][0] / (denominator[i] + ridge);
      spectrum_[i][1] = numerator[i][1] / (denominator[i] + ridge);
    });
    backward_.execute();
    kernel.assign(area(kernelRows_, kernelCols_), 0.0);
    cutKernel(grid_.data(), kernel.data(), canvasRows_, canvasCols_, kernelRows_, kernelCols_,
              static_cast<double>(cells_));
    cleanKernel(kernel, kernelRows_, kernelCols_);
  }

  // The same fit solved exactly: the least squares over the masked pixels
  // only, for a kernel confined to its support, by a few conjugate-gradient
  // steps from the current kernel; then cleaned and normalised. The closed
  // form above lets the latent image's gradients end at the mask's border
  // and the kernel spread over the whole canvas, which blurs the profile the
  // refining iterations are after.
  void refineKernel(const Plane& latent, double ridgeShare, Plane& kernel) {
    gradients(latent.data(), canvasRows_, canvasCols_, gradX_.data(), gradY_.data());
    std::copy(gradX_.begin(), gradX_.end(), grid_.data());
    forward_.execute();
    copySpectrum(latentGradXSpectrum_);
    std::copy(gradY_.begin(), gradY_.end(), grid_.data());
    forward_.execute();
    copySpectrum(latentGradYSpectrum_);

    double meanPower = 0.0;
    for (std::size_t i = 0; i < halfCells_; ++i) {
      meanPower += squaredMagnitude(latentGradXSpectrum_[i]) +
                   squaredMagnitude(latentGradYSpectrum_[i]);
      spectrum_[i][0] = spectrum_[i][1] = 0.0;
      addCorrelation(latentGradXSpectrum_[i], blurredGradXSpectrum_[i], spectrum_[i]);
      addCorrelation(latentGradYSpectrum_[i], blurredGradYSpectrum_[i], spectrum_[i]);
    }
    const double ridge = ridgeShare * meanPower / static_cast<double>(halfCells_) + 1e-300;
    backward_.execute();
    const std::size_t size = kernel.size();
    Plane residual(size);
    cutKernel(grid_.data(), residual.data(), canvasRows_, canvasCols_, kernelRows_, kernelCols_,
              static_cast<double>(cells_));

    Plane product(size);
    normalProduct(kernel, ridge, product);
    double residualPower = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
      residual[i] -= product[i];
      residualPower += residual[i] * residual[i];
    }
    Plane direction = residual;
    for (int step = 0; step < kRefiningSolveSteps && residualPower > 0.0; ++step) {
      normalProduct(direction, ridge, product);
      double curvature = 0.0;
      for (std::size_t i = 0; i < size; ++i) curvature += direction[i] * product[i];
      if (!(curvature > 0.0)) break;
      const double move = residualPower / curvature;
      double nextPower = 0.0;
      for (std::size_t i = 0; i < size; ++i) {
        kernel[i] += move * direction[i];
        residual[i] -= move * product[i];
        nextPower += residual[i] * residual[i];
      }
      const double turn = nextPower / residualPower;
      residualPower = nextPower;
      for (std::size_t i = 0; i < size; ++i) direction[i] = residual[i] + turn * direction[i];
    }
    cleanKernel(kernel, kernelRows_, kernelCols_);
  }

  // The split's gradient step in one pass: the latent image's gradients,
  // those whose squared magnitude falls below keep set to zero, and into the
  // grid the adjoint of the forward differences applied to them (backward
  // differences, negated). Each band of rows carries the row above it, so
  // no gradient plane is written.
  void splitDivergence(const Plane& latent, double keep) {
    parallelFor(0, canvasRows_, kRowGrain, [&](int first, int last) {
      std::vector<double> aboveX(canvasCols_), aboveY(canvasCols_);
      std::vector<double> rowX(canvasCols_), rowY(canvasCols_);
      const auto keptGradients = [&](int y, std::vector<double>& gx, std::vector<double>& gy) {
        rowGradients(latent.data(), canvasRows_, canvasCols_, y, gx.data(), gy.data());
        for (int x = 0; x < canvasCols_; ++x) {
          if (gx[x] * gx[x] + gy[x] * gy[x] < keep) gx[x] = gy[x] = 0.0;
        }
      };
      keptGradients((first + canvasRows_ - 1) % canvasRows_, aboveX, aboveY);
      for (int y = first; y < last; ++y) {
        keptGradients(y, rowX, rowY);
        double* out = grid_.data() + area(y, canvasCols_);
        out[0] = rowX[canvasCols_ - 1] - rowX[0] + aboveY[0] - rowY[0];
        for (int x = 1; x < canvasCols_; ++x) {
          out[x] = rowX[x - 1] - rowX[x] + aboveY[x] - rowY[x];
        }
        std::swap(aboveX, rowX);
        std::swap(aboveY, rowY);
      }
    });
  }

 private:
  static double squaredMagnitude(const fftw_complex& z) { return z[0] * z[0] + z[1] * z[1]; }

  // sum += conj(a) b
  static void addCorrelation(const fftw_complex& a, const fftw_complex& b, fftw_complex& sum) {
    sum[0] += a[0] * b[0] + a[1] * b[1];
    sum[1] += a[0] * b[1] - a[1] * b[0];
  }

  // product = A^T M A k + ridge k, where A convolves the latent image's
  // gradients (refineKernel's) with the kernel k and M is the data mask.
  void normalProduct(const Plane& k, double ridge, Plane& product) {
    std::fill(grid_.data(), grid_.data() + cells_, 0.0);
    placeKernel(k.data(), grid_.data(), canvasRows_, canvasCols_, kernelRows_, kernelCols_);
    forward_.execute();
    copySpectrum(kernelSpectrum_);
    forEachFrequency([&](std::size_t i) { correlationSum_[i][0] = correlationSum_[i][1] = 0; });
    const double cells = static_cast<double>(cells_);
    for (const FftwBuffer* gradient : {&latentGradXSpectrum_, &latentGradYSpectrum_}) {
      forEachFrequency([&](std::size_t i) {
        const double kr = kernelSpectrum_[i][0], ki = kernelSpectrum_[i][1];
        const double gr = (*gradient)[i][0], gi = (*gradient)[i][1];
        spectrum_[i][0] = kr * gr - ki * gi;
        spectrum_[i][1] = kr * gi + ki * gr;
      });
      backward_.execute();
      forEachPixel([&](std::size_t i) { grid_[i] *= mask_[i] / cells; });
      forward_.execute();
      forEachFrequency(
          [&](std::size_t i) { addCorrelation((*gradient)[i], spectrum_[i], correlationSum_[i]); });
    }
    copySpectrumFrom(correlationSum_);
    backward_.execute();
    cutKernel(grid_.data(), product.data(), canvasRows_, canvasCols_, kernelRows_, kernelCols_,
              cells);
    for (std::size_t i = 0; i < product.size(); ++i) product[i] += ridge * k[i];
  }

  void copySpectrumFrom(const FftwBuffer& source) {
    std::memcpy(spectrum_.data(), source.data(), sizeof(fftw_complex) * halfCells_);
  }

  void copySpectrum(FftwBuffer& target) const {
    std::memcpy(target.data(), spectrum_.data(), sizeof(fftw_complex) * halfCells_);
  }

  void maskedForward(const Plane& plane) {
    forEachPixel([&](std::size_t i) { grid_[i] = plane[i] * mask_[i]; });
    forward_.execute();
  }

  // Runs step(i) for every index of the canvas, or of its half spectrum,
  // in bands of rows over the threads; each index on its own, so the
  // result does not depend on how the rows are shared.
  template <typename Step>
  void forEachPixel(const Step& step) const {
    forEachIndex(canvasCols_, step);
  }

  template <typename Step>
  void forEachFrequency(const Step& step) const {
    forEachIndex(halfCols_, step);
  }

  template <typename Step>
  void forEachIndex(int rowLength, const Step& step) const {
    parallelFor(0, canvasRows_, kRowGrain, [&](int first, int last) {
      for (std::size_t i = area(first, rowLength); i < area(last, rowLength); ++i) step(i);
    });
  }

  int kernelRows_;
  int kernelCols_;
  int canvasRows_;
  int canvasCols_;
  int halfCols_;
  std::size_t cells_;
  std::size_t halfCells_;
  FftwRealBuffer grid_;
  FftwBuffer spectrum_;
  SplitRealTransform forward_;
  SplitRealTransform backward_;
  Plane blurred_;
  FftwBuffer blurredSpectrum_;
  FftwBuffer blurredGradXSpectrum_;
  FftwBuffer blurredGradYSpectrum_;
  FftwBuffer kernelTimesBlurred_;
  FftwBuffer latentGradXSpectrum_;
  FftwBuffer latentGradYSpectrum_;
  FftwBuffer kernelSpectrum_;
  FftwBuffer correlationSum_;
  Plane kernelPower_;
  Plane differencePower_;
  Plane kernelStepWeight_;
  Plane mask_;
  Plane gradX_;
  Plane gradY_;
};

}  // namespace

std::vector<SparseLevel> sparseSchedule(int width, int height, int kernelWidth, int kernelHeight) {
  const int largest = std::max(kernelWidth, kernelHeight);
  assert(kernelWidth >= 1 && kernelHeight >= 1 && largest >= 3);
  // Enough levels that the coarsest kernel's larger side comes out at 3.
  const int levels =
      1 + std::max(0, static_cast<int>(std::ceil(std::log(3.0 / largest) /
                                                 std::log(kSparseScaleRatio) - 1e-9)));
  std::vector<SparseLevel> schedule(levels);
  double scale = 1.0;
  for (int s = 0; s < levels; ++s) {
    SparseLevel& level = schedule[s];
    level.scale = scale;
    if (s == 0) {
      level.width = width;
      level.height = height;
      level.kernelWidth = kernelWidth;
      level.kernelHeight = kernelHeight;
    } else {
      level.width = static_cast<int>(std::ceil(scale * width));
      level.height = static_cast<int>(std::ceil(scale * height));
      level.kernelWidth = coarseKernelSide(scale, kernelWidth);
      level.kernelHeight = coarseKernelSide(scale, kernelHeight);
    }
    scale *= kSparseScaleRatio;
  }
  return schedule;
}

bool sparseScheduleFitsPicture(const std::vector<SparseLevel>& schedule) {
  for (const SparseLevel& level : schedule) {
    if (level.width < level.kernelWidth || level.height < level.kernelHeight) return false;
  }
  return true;
}

void estimateKernelSparse(const double* grey, const double* highlights, int rows, int cols,
                          double* kernel, int kernelRows, int kernelCols, double noiseSigma,
                          const DeblurProgressCallback& progress, bool dampNoise) {
  const std::vector<SparseLevel> schedule = sparseSchedule(cols, rows, kernelCols, kernelRows);
  const int levels = static_cast<int>(schedule.size());
  Plane noClipping;
  if (highlights == nullptr) noClipping.assign(area(rows, cols), 0.0);
  const double* clippedSource = highlights ? highlights : noClipping.data();
  const double noiseVariance = noiseSigma * noiseSigma;
  const double lambdaFloor = std::max(kLambdaFloor, kLambdaPerNoiseVariance * noiseVariance);
  const double refiningRidgeShare =
      std::clamp(kRefiningRidgePerNoiseVariance * noiseVariance, kLeastRefiningRidgeShare,
                 kKernelRidgeShare);

  const bool refine = refiningRidgeShare < kKernelRidgeShare;
  const auto iterationsAt = [&](int s) {
    return kIterationsPerLevel + (s == 0 && refine ? kRefiningIterations : 0);
  };
  const double refiningPixels =
      std::min(static_cast<double>(area(rows, cols)), kMostRefiningPixels);
  // Work of the first `iterations` iterations on a level: pixels times
  // iterations.
  const auto workOf = [&](int s, int iterations) {
    const double pixels = static_cast<double>(area(schedule[s].height, schedule[s].width));
    const int refining = std::max(0, iterations - kIterationsPerLevel);
    return pixels * (iterations - refining) + refiningPixels * refining;
  };
  std::vector<double> workBefore(levels + 1, 0.0);
  for (int s = levels - 1; s >= 0; --s) {
    workBefore[s] = workBefore[s + 1] + workOf(s, iterationsAt(s));
  }
  const double totalWork = workBefore[0];

  Plane levelKernel;
  for (int s = levels - 1; s >= 0; --s) {
    const SparseLevel& level = schedule[s];
    const std::string message = "Level " + std::to_string(s) + "\n";
    announce(message.c_str(), progress);

    Plane image;
    Plane clipped;
    const double* levelImage = grey;
    if (s == 0) {
      clipped.assign(clippedSource, clippedSource + area(rows, cols));
    } else {
      image.resize(area(level.height, level.width));
      resampleByScale(grey, image.data(), rows, cols, level.scale);
      levelImage = image.data();
      // Any clipped pixel under a coarse pixel leaves a positive average,
      // which the data mask treats as clipped.
      clipped.resize(image.size());
      resampleByScale(clippedSource, clipped.data(), rows, cols, level.scale);
    }

    if (s == levels - 1) {
      levelKernel = centredDelta(level.kernelHeight, level.kernelWidth);
    } else {
      const SparseLevel& coarser = schedule[s + 1];
      Plane finer(area(level.kernelHeight, level.kernelWidth));
      resampleToSize(levelKernel.data(), finer.data(), coarser.kernelHeight, coarser.kernelWidth,
                     level.kernelHeight, level.kernelWidth);
      levelKernel = std::move(finer);
      cleanKernel(levelKernel, level.kernelHeight, level.kernelWidth);
    }

    // Resampling to the level averages the noise down with the scale.
    const double levelNoise =
        dampNoise && noiseSigma >= kLeastDampedNoise ? noiseSigma * level.scale : 0.0;
    const double lowPassWidth = kKernelLowPassPerNoise * levelNoise;
    std::optional<SparseLevelSolver> solver;
    solver.emplace(levelImage, clipped, level.height, level.width, level.kernelHeight,
                   level.kernelWidth, lowPassWidth);
    Plane latent;
    double lambda = kLambdaStart;
    const int iterations = iterationsAt(s);
    for (int k = 0; k < iterations; ++k) {
      if (progress) {
        DeblurProgress report;
        report.level = levels - s;
        report.levels = levels;
        report.iteration = k + 1;
        report.iterations = iterations;
        report.done = (workBefore[s + 1] + workOf(s, k)) / totalWork;
        progress(report);
      }
      const bool refining = k >= kIterationsPerLevel;
      if (k == kIterationsPerLevel &&
          static_cast<double>(area(level.height, level.width)) > kMostRefiningPixels) {
        const Region window =
            richestRegion(levelImage, clipped.data(), level.height, level.width,
                          kMostRefiningPixels);
        solver.emplace(cropPlanes(levelImage, level.height, level.width, 1, window).data(),
                       cropPlanes(clipped.data(), level.height, level.width, 1, window),
                       window.height, window.width, level.kernelHeight, level.kernelWidth,
                       lowPassWidth);
      }
      solver->estimateLatent(levelKernel, lambda, latent);
      if (refining) {
        solver->refineKernel(latent, refiningRidgeShare, levelKernel);
      } else {
        solver->estimateKernel(latent, kKernelRidgeShare, levelKernel);
      }
      lambda = std::max(lambda / (refining ? kRefiningLambdaDecay : kLambdaDecay), lambdaFloor);
    }
    centreKernel(levelKernel, level.kernelHeight, level.kernelWidth);
  }
  std::copy(levelKernel.begin(), levelKernel.end(), kernel);
}

void estimatePictureKernelSparse(const double* input, int height, int width, int channels,
                                 double* kernel, int kheight, int kwidth, double noiseSigma,
                                 const DeblurProgressCallback& progress, bool dampNoise) {
  // The kernel is estimated on the samples exactly as the final stage
  // deconvolves them: a kernel fitted to gamma-corrected samples would not
  // be the blur the deconvolution undoes.
  const Plane grey = gammaGreyImage(input, height, width, channels, 1.0);
  const Plane clipped = clippedPixels(input, height, width, channels);
  const Region region =
      richestRegion(grey.data(), clipped.data(), height, width, kMostEstimationPixels);
  if (region.height == height && region.width == width) {
    estimateKernelSparse(grey.data(), clipped.data(), height, width, kernel, kheight, kwidth,
                         noiseSigma, progress, dampNoise);
  } else {
    estimateKernelSparse(cropPlanes(grey.data(), height, width, 1, region).data(),
                         cropPlanes(clipped.data(), height, width, 1, region).data(),
                         region.height, region.width, kernel, kheight, kwidth, noiseSigma,
                         progress, dampNoise);
  }
}

int deblurSparse(const double* input, double* output, int height, int width, int channels,
                 double* kernel, int kheight, int kwidth, double wtdeconv, int deringingWeight,
                 int denoise, double noiseSigma, const DeblurProgressCallback& progress) {
  announce("start kernel estimation...\n", progress);
  estimatePictureKernelSparse(input, height, width, channels, kernel, kheight, kwidth,
                              noiseSigma, progress);
  return deconvolveAnySize(input, output, height, width, channels, kernel, kheight, kwidth,
                           wtdeconv, deringingWeight, denoise, progress)
             ? 0
             : -1;
}

}  // namespace kestrel
