#include "deblur/padding.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <vector>

#include "deblur/pyramid_schedule.h"
#include "deblur/resample.h"
#include "fourier/fft_toolkit.h"
#include "fourier/grid.h"
#include "fourier/half_spectra.h"
#include "fourier/split_transform.h"
#include "parallel/parallel.h"

namespace kestrel {
namespace {

constexpr int kStepsPerLevel = 10;
// Rows handed to one thread at least: enough to outweigh starting it.
constexpr int kRowsPerBlock = 32;

// The same levels as the kernel pyramid, so that the coarsest kernel is
// about 3 samples across; a single level for kernels too small for one.
int levelCount(int kernelWidth, int kernelHeight) {
  return std::max(1, pyramidLevelCount(kernelWidth, kernelHeight));
}

// One level of the padding pyramid. Level 0 borrows the caller's buffers;
// coarser levels own theirs.
struct PaddingLevel {
  int width = 0;
  int height = 0;
  int canvasWidth = 0;
  int canvasHeight = 0;
  int kernelWidth = 0;
  int kernelHeight = 0;
  const double* borrowedImage = nullptr;
  double* borrowedCanvas = nullptr;
  const double* borrowedKernel = nullptr;
  std::vector<double> ownedImage;
  std::vector<double> ownedCanvas;
  std::vector<double> ownedKernel;

  std::size_t imageCells() const { return cellCount(height, width); }
  std::size_t canvasCells() const { return cellCount(canvasHeight, canvasWidth); }
  int top() const { return (canvasHeight - height) / 2; }
  int left() const { return (canvasWidth - width) / 2; }
  const double* image(int plane) const {
    return (borrowedImage != nullptr ? borrowedImage : ownedImage.data()) + imageCells() * plane;
  }
  double* canvas(int plane) {
    return (borrowedCanvas != nullptr ? borrowedCanvas : ownedCanvas.data()) +
           canvasCells() * plane;
  }
  const double* kernel() const {
    return borrowedKernel != nullptr ? borrowedKernel : ownedKernel.data();
  }
};

// Z = K X W / (W + l G) with X = conj(K) Y W / (W |K|^2 + a G): every
// factor but Y is real once K conj(K) = |K|^2 is formed, so a step scales Y
// by one real number per frequency.
double stepFactor(double power, double w, double g, double dataWeight, double smoothWeight) {
  const double deconvolution = w * power + dataWeight * g;
  const double smoothing = w + smoothWeight * g;
  return deconvolution == 0.0 ? 0.0 : power * w * w / (deconvolution * smoothing);
}

// The step factors of a rows x cols canvas as a half spectrum, from the
// kernel and the closed-form powers of the derivative filters: G = d_c +
// d_r for the first differences, and for W the second differences (d_c^2,
// d_r^2) and the mixed one (d_c d_r).
std::vector<double> levelFactors(const double* kernel, int rows, int cols, int kernelRows,
                                 int kernelCols, const PaddingWeights& weights) {
  const FftwBuffer spectrum = kernelHalfSpectrum(kernel, rows, cols, kernelRows, kernelCols);
  const std::vector<double> alongRows = differencePower(rows);
  const std::vector<double> alongCols = differencePower(cols);
  const int half = halfColumns(cols);
  std::vector<double> factors(halfCells(rows, cols));
  for (int i = 0; i < rows; ++i) {
    const double dr = alongRows[i];
    for (int j = 0; j < half; ++j) {
      const std::size_t c = cellCount(i, half) + j;
      const double dc = alongCols[j];
      const double g = dc + dr;
      const double w = 0.25 * (dc * dc + dr * dr + dc * dr) + 0.5 * g + 1.0;
      const double power = spectrum[c][0] * spectrum[c][0] + spectrum[c][1] * spectrum[c][1];
      factors[c] = stepFactor(power, w, g, weights.data, weights.smooth);
    }
  }
  return factors;
}

// The work planes and transforms of the refinement steps of a group of
// canvas planes on one grid, made once per level instead of once per step.
// The planes' transforms run together, each pass of all of them split over
// the threads, so that a few planes keep every core busy.
class PaddingRefiner {
 public:
  // factors: the rows x (cols/2 + 1) half spectrum of step factors, borrowed.
  PaddingRefiner(int rows, int cols, int planes, const std::vector<double>& factors)
      : rows_(rows), cols_(cols), factors_(factors) {
    assert(factors.size() == halfCells(rows, cols));
    for (int p = 0; p < planes; ++p) {
      real_.emplace_back(cellCount(rows, cols));
      spectrum_.emplace_back(halfCells(rows, cols));
    }
    for (int p = 0; p < planes; ++p) {
      forward_.push_back(SplitRealTransform::forward(rows, cols, {{0, rows}}, real_[p].data(),
                                                     spectrum_[p].data()));
      backward_.push_back(SplitRealTransform::backward(rows, cols, {{0, rows}},
                                                       spectrum_[p].data(), real_[p].data()));
    }
    for (int p = 0; p < planes; ++p) {
      forwardAll_.push_back(&forward_[p]);
      backwardAll_.push_back(&backward_[p]);
    }
  }

  // The transforms point into the refiner's own buffers.
  PaddingRefiner(const PaddingRefiner&) = delete;
  PaddingRefiner& operator=(const PaddingRefiner&) = delete;

  // One step of every canvas plane of the group. With a level, its image
  // plane p is then put back into canvas plane p.
  void step(const std::vector<double*>& canvases, const PaddingLevel* level = nullptr) {
    assert(canvases.size() == real_.size());
    forEachRow([&](int p, int i) {
      std::copy(canvases[p] + cellCount(i, cols_), canvases[p] + cellCount(i + 1, cols_),
                real_[p].data() + cellCount(i, cols_));
    });
    SplitRealTransform::executeTogether(forwardAll_);
    const int half = halfColumns(cols_);
    forEachRow([&](int p, int i) {
      fftw_complex* spectrum = spectrum_[p].data();
      for (std::size_t c = cellCount(i, half); c < cellCount(i + 1, half); ++c) {
        spectrum[c][0] *= factors_[c];
        spectrum[c][1] *= factors_[c];
      }
    });
    SplitRealTransform::executeTogether(backwardAll_);
    const double cells = static_cast<double>(cellCount(rows_, cols_));
    forEachRow([&](int p, int i) {
      const double* real = real_[p].data() + cellCount(i, cols_);
      double* out = canvases[p] + cellCount(i, cols_);
      for (int x = 0; x < cols_; ++x) out[x] = std::clamp(real[x] / cells, 0.0, 1.0);
      const int y = level != nullptr ? i - level->top() : -1;
      if (y >= 0 && y < level->height) {
        const double* image = level->image(p) + cellCount(y, level->width);
        std::copy(image, image + level->width, out + level->left());
      }
    });
  }

 private:
  // Calls row(p, i) for every row i of every plane p, blocks of rows on
  // the threads.
  template <typename RowFunction>
  void forEachRow(RowFunction row) const {
    const int planes = static_cast<int>(real_.size());
    parallelFor(0, planes * rows_, kRowsPerBlock, [&](int first, int last) {
      for (int k = first; k < last; ++k) row(k / rows_, k % rows_);
    });
  }

  int rows_;
  int cols_;
  const std::vector<double>& factors_;
  std::vector<FftwRealBuffer> real_;
  std::vector<FftwBuffer> spectrum_;
  std::vector<SplitRealTransform> forward_;
  std::vector<SplitRealTransform> backward_;
  // The same transforms as executeTogether takes them.
  std::vector<const SplitRealTransform*> forwardAll_;
  std::vector<const SplitRealTransform*> backwardAll_;
};

PaddingLevel coarseLevel(const double* image, const double* kernel, int width, int height,
                         int planes, int kernelWidth, int kernelHeight, int padX, int padY,
                         double scale) {
  PaddingLevel level;
  level.width = static_cast<int>(std::ceil(scale * width));
  level.height = static_cast<int>(std::ceil(scale * height));
  level.canvasWidth = static_cast<int>(std::ceil(scale * (width + 2 * padX)));
  level.canvasHeight = static_cast<int>(std::ceil(scale * (height + 2 * padY)));
  level.kernelWidth = coarseKernelSide(scale, kernelWidth);
  level.kernelHeight = coarseKernelSide(scale, kernelHeight);

  level.ownedImage.resize(level.imageCells() * planes);
  for (int p = 0; p < planes; ++p) {
    resampleByScale(image + cellCount(height, width) * p,
                    level.ownedImage.data() + level.imageCells() * p, height, width, scale);
  }
  level.ownedCanvas.resize(level.canvasCells() * planes);
  level.ownedKernel.resize(cellCount(level.kernelHeight, level.kernelWidth));
  resampleToSize(kernel, level.ownedKernel.data(), kernelHeight, kernelWidth, level.kernelHeight,
                 level.kernelWidth);
  clampAndNormalise(level.ownedKernel, level.kernelHeight, level.kernelWidth);
  return level;
}

void copyImageIntoCanvas(const PaddingLevel& level, const double* image, double* canvas) {
  const int top = level.top();
  const int left = level.left();
  for (int y = 0; y < level.height; ++y) {
    std::copy(image + cellCount(y, level.width), image + cellCount(y + 1, level.width),
              canvas + cellCount(top + y, level.canvasWidth) + left);
  }
}

void replicateEdges(const PaddingLevel& level, const double* image, double* canvas) {
  const int top = level.top();
  const int left = level.left();
  for (int y = 0; y < level.canvasHeight; ++y) {
    const double* row = image + cellCount(std::clamp(y - top, 0, level.height - 1), level.width);
    double* out = canvas + cellCount(y, level.canvasWidth);
    for (int x = 0; x < level.canvasWidth; ++x) {
      out[x] = row[std::clamp(x - left, 0, level.width - 1)];
    }
  }
}

}  // namespace

void preparePaddingSpectra(const double* kernel, int cols, int rows, int kernelCols, int kernelRows,
                           PaddingSpectra& spectra) {
  const std::size_t n = cellCount(rows, cols);
  spectra.gradientPower = FftwBuffer(n);
  spectra.kernelPower = FftwBuffer(n);
  spectra.derivativeWeight = FftwBuffer(n);
  spectra.kernelSpectrum = FftwBuffer(n);
  spectra.rows = rows;
  spectra.cols = cols;
  derivativeSpectra(rows, cols, spectra.gradientPower.data(), spectra.derivativeWeight.data());
  kernelToSpectrum(kernel, spectra.kernelSpectrum.data(), rows, cols, kernelRows, kernelCols);
  for (std::size_t i = 0; i < n; ++i) {
    const fftw_complex& k = spectra.kernelSpectrum[i];
    spectra.kernelPower[i][0] = k[0] * k[0] + k[1] * k[1];
  }
}

void paddingStep(double* plane, int cols, int rows, double dataWeight, double smoothWeight,
                 const PaddingSpectra& spectra) {
  assert(rows == spectra.rows && cols == spectra.cols);
  const int half = halfColumns(cols);
  std::vector<double> factors(halfCells(rows, cols));
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < half; ++j) {
      const std::size_t full = cellCount(i, cols) + j;
      factors[cellCount(i, half) + j] =
          stepFactor(spectra.kernelPower[full][0], spectra.derivativeWeight[full][0],
                     spectra.gradientPower[full][0], dataWeight, smoothWeight);
    }
  }
  PaddingRefiner(rows, cols, 1, factors).step({plane});
}

void padImage(const double* image, double* padded, const double* kernel, int width, int height,
              int planes, int kernelWidth, int kernelHeight, int padX, int padY,
              const PaddingWeights& weights) {
  assert(width >= 1 && height >= 1 && planes >= 1);
  assert(kernelWidth >= 1 && kernelHeight >= 1 && padX >= 0 && padY >= 0);
  const int levels = levelCount(kernelWidth, kernelHeight);

  std::vector<PaddingLevel> pyramid(levels);
  PaddingLevel& full = pyramid[0];
  full.width = width;
  full.height = height;
  full.canvasWidth = width + 2 * padX;
  full.canvasHeight = height + 2 * padY;
  full.kernelWidth = kernelWidth;
  full.kernelHeight = kernelHeight;
  full.borrowedImage = image;
  full.borrowedCanvas = padded;
  full.borrowedKernel = kernel;
  double scale = 1.0;
  for (int i = 1; i < levels; ++i) {
    scale *= kPyramidScaleRatio;
    pyramid[i] = coarseLevel(image, kernel, width, height, planes, kernelWidth, kernelHeight, padX,
                             padY, scale);
  }

  for (int j = levels - 1; j >= 0; --j) {
    PaddingLevel& level = pyramid[j];
    const std::vector<double> factors =
        levelFactors(level.kernel(), level.canvasHeight, level.canvasWidth, level.kernelHeight,
                     level.kernelWidth, weights);
    PaddingRefiner refiner(level.canvasHeight, level.canvasWidth, planes, factors);
    std::vector<double*> canvases;
    for (int p = 0; p < planes; ++p) {
      canvases.push_back(level.canvas(p));
      if (j == levels - 1) {
        replicateEdges(level, level.image(p), level.canvas(p));
      } else {
        PaddingLevel& coarser = pyramid[j + 1];
        resampleToSize(coarser.canvas(p), level.canvas(p), coarser.canvasHeight,
                       coarser.canvasWidth, level.canvasHeight, level.canvasWidth);
        copyImageIntoCanvas(level, level.image(p), level.canvas(p));
      }
    }
    for (int step = 0; step < kStepsPerLevel; ++step) refiner.step(canvases, &level);
  }
}

void bridgeAcrossWrap(const double* canvas, int rows, int cols, double* wide, int wideRows,
                      int wideCols) {
  assert(rows >= 1 && cols >= 1 && wideRows >= rows && wideCols >= cols);
  // A gap of n lines after the canvas's last line fades from a copy of the
  // canvas's first n lines into a copy of its last n: next to either edge
  // the wide canvas looks as the canvas does across its own wrap-around.
  const auto fade = [](int gap, int length, int g, int& first, int& last, double& weight) {
    first = g % length;
    last = ((length - gap + g) % length + length) % length;
    weight = static_cast<double>(g + 1) / (gap + 1);
  };
  const int columnGap = wideCols - cols;
  for (int y = 0; y < rows; ++y) {
    const double* from = canvas + cellCount(y, cols);
    double* to = wide + cellCount(y, wideCols);
    std::copy(from, from + cols, to);
    for (int g = 0; g < columnGap; ++g) {
      int first = 0, last = 0;
      double weight = 0.0;
      fade(columnGap, cols, g, first, last, weight);
      to[cols + g] = (1.0 - weight) * from[first] + weight * from[last];
    }
  }
  const int rowGap = wideRows - rows;
  for (int g = 0; g < rowGap; ++g) {
    int first = 0, last = 0;
    double weight = 0.0;
    fade(rowGap, rows, g, first, last, weight);
    const double* start = wide + cellCount(first, wideCols);
    const double* end = wide + cellCount(last, wideCols);
    double* to = wide + cellCount(rows + g, wideCols);
    for (int x = 0; x < wideCols; ++x) to[x] = (1.0 - weight) * start[x] + weight * end[x];
  }
}

PaddedPicture::PaddedPicture(const double* image, const double* kernel, int width, int height,
                             int planes, int kernelWidth, int kernelHeight,
                             const PaddingWeights& weights)
    : width_(width),
      height_(height),
      padX_(kernelWidth),
      padY_(kernelHeight),
      paddedRows_(height + 2 * kernelHeight),
      paddedCols_(width + 2 * kernelWidth),
      // A few per cent more cells for a fraction of the transform time.
      wideRows_(fastTransformLength(paddedRows_)),
      wideCols_(fastTransformLength(paddedCols_)),
      padded_(cellCount(paddedRows_, paddedCols_) * planes, 0.0) {
  padImage(image, padded_.data(), kernel, width, height, planes, kernelWidth, kernelHeight, padX_,
           padY_, weights);
}

std::size_t PaddedPicture::wideCells() const { return cellCount(wideRows_, wideCols_); }

void PaddedPicture::widen(int plane, double* wide) const {
  bridgeAcrossWrap(padded_.data() + cellCount(paddedRows_, paddedCols_) * plane, paddedRows_,
                   paddedCols_, wide, wideRows_, wideCols_);
}

void PaddedPicture::crop(const double* wide, int plane, double* output) const {
  double* out = output + cellCount(height_, width_) * plane;
  for (int y = 0; y < height_; ++y) {
    const double* row = wide + cellCount(y + padY_, wideCols_) + padX_;
    std::copy(row, row + width_, out + cellCount(y, width_));
  }
}

}  // namespace kestrel
