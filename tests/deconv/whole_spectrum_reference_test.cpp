// The deconvolutions work on half spectra with closed-form difference
// powers, run their two solves at once and split loops over threads. Here
// they are held against the plain formulation: whole complex spectra from
// the toolkit, one solve after the other, every loop serial.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "deconv/gradient_split.h"
#include "deconv/hyper_laplacian.h"
#include "deconv/l1_tv_deconvolution.h"
#include "deconv/median_filter.h"
#include "deconv/tv_deconvolution.h"
#include "fourier/fft_toolkit.h"
#include "fourier/filter2d.h"
#include "parallel/parallel.h"
#include "tests/deconv/test_planes.h"
#include "tests/support/agreement.h"

namespace kestrel {
namespace {

using testing::randomPlane;
using testing::relativeDifference;
using testing::shakeKernel;

// Both formulations solve the same well-posed systems; they differ only in
// the rounding of the transforms (half against whole spectrum) and of the
// difference powers (closed form against transformed filters), a few ulps
// per step, which the iterations carry along without growing far. Measured
// differences are near 1e-15 of the plane's largest value.
constexpr double kReferenceTolerance = 1e-12;

// The L1 rounds re-blur the estimate by transforms on an edge-extended grid
// where the reference sums directly; both are exact up to rounding, and a
// residual landing within rounding of the threshold moves its sample by
// that rounding only. Measured differences are near 3e-15.
constexpr double kL1ReferenceTolerance = 1e-12;

constexpr int kRows = 64;
constexpr int kCols = 70;
constexpr int kKernelSide = 9;

// The plain image step on whole rows x cols spectra: shrink the periodic
// differences, apply their adjoint, divide in the Fourier domain, go back.
class ReferenceSolver {
 public:
  ReferenceSolver(int rows, int cols, const fftw_complex* kernelPower,
                  const fftw_complex* gradientPower)
      : rows_(rows), cols_(cols), kernelPower_(kernelPower), gradientPower_(gradientPower) {}

  void iterate(const fftw_complex* numerator, double threshold, double weight, double* u) const {
    const std::size_t n = static_cast<std::size_t>(rows_) * cols_;
    std::vector<double> h(n), v(n);
    for (int i = 0; i < rows_; ++i)
      for (int j = 0; j < cols_; ++j) {
        const double here = u[i * cols_ + j];
        h[i * cols_ + j] = shrink(u[i * cols_ + (j + 1) % cols_] - here, threshold);
        v[i * cols_ + j] = shrink(u[((i + 1) % rows_) * cols_ + j] - here, threshold);
      }
    FftwBuffer work(n);
    for (int i = 0; i < rows_; ++i)
      for (int j = 0; j < cols_; ++j)
        work[i * cols_ + j][0] = h[i * cols_ + (j + cols_ - 1) % cols_] - h[i * cols_ + j] +
                                 v[((i + rows_ - 1) % rows_) * cols_ + j] - v[i * cols_ + j];
    transform2d(rows_, cols_, work.data(), work.data(), FFTW_FORWARD);
    for (std::size_t i = 0; i < n; ++i) {
      const double b = kernelPower_[i][0] + weight * gradientPower_[i][0];
      work[i][0] = b == 0.0 ? 0.0 : (numerator[i][0] + weight * work[i][0]) / b;
      work[i][1] = b == 0.0 ? 0.0 : (numerator[i][1] + weight * work[i][1]) / b;
    }
    transform2d(rows_, cols_, work.data(), work.data(), FFTW_BACKWARD);
    for (std::size_t i = 0; i < n; ++i) u[i] = work[i][0] / static_cast<double>(n);
  }

  // Q = 1/mu halved while Q >= 0.01, capped at beta/mu < 1024 when asked.
  void run(const fftw_complex* numerator, double mu, double t, bool capped, double* u) const {
    for (double q = 1.0 / mu; q >= 0.01; q /= 2.0) {
      if (capped && !(1.0 / q / mu < 1024.0)) break;
      iterate(numerator, mu * q, t / q, u);
    }
  }

 private:
  int rows_;
  int cols_;
  const fftw_complex* kernelPower_;
  const fftw_complex* gradientPower_;
};

// The upper median of the 7 x 7 window, cut at the borders, sorted afresh
// for every sample.
std::vector<double> referenceMedian(const std::vector<double>& e, int rows, int cols) {
  std::vector<double> median(e.size());
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      std::vector<double> window;
      for (int r = std::max(i - 3, 0); r <= std::min(i + 3, rows - 1); ++r)
        for (int c = std::max(j - 3, 0); c <= std::min(j + 3, cols - 1); ++c)
          window.push_back(e[r * cols + c]);
      std::sort(window.begin(), window.end());
      median[i * cols + j] = window[window.size() / 2];
    }
  return median;
}

// e = x - second; x -= median7(e).
void referenceDeringing(std::vector<double>& x, const std::vector<double>& second, int rows,
                        int cols) {
  std::vector<double> e(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) e[i] = x[i] - second[i];
  const std::vector<double> median = referenceMedian(e, rows, cols);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] -= median[i];
}

std::vector<double> referenceTv(const std::vector<double>& y, const std::vector<double>& k,
                                double lambda, int d, bool capped) {
  const std::size_t n = y.size();
  FftwBuffer numerator(n), kernelPower(n), gradientPower(n);
  deconvolutionSpectra(y.data(), k.data(), kRows, kCols, kKernelSide, kKernelSide,
                       numerator.data(), kernelPower.data(), gradientPower.data());
  const ReferenceSolver solver(kRows, kCols, kernelPower.data(), gradientPower.data());
  std::vector<double> x = y;
  solver.run(numerator.data(), lambda, 1.0, capped, x.data());
  if (d > 1) {
    std::vector<double> second = y;
    solver.run(numerator.data(), d * lambda, 1.0, capped, second.data());
    referenceDeringing(x, second, kRows, kCols);
  }
  return x;
}

void referenceL1Solve(const std::vector<double>& y, const std::vector<double>& k, int kh, int kw,
                      const fftw_complex* kernelSpectrum, const ReferenceSolver& solver, double mu,
                      double* u) {
  const std::size_t n = y.size();
  std::vector<double> r(n);
  FftwBuffer z(n);
  for (double t = 1.0; t > 0.01; t /= 3.0) {
    FilterParams params;
    params.input = u;
    params.output = r.data();
    params.width = kCols;
    params.height = kRows;
    params.scale = 1.0;
    params.kernel = k.data();
    params.kernelWidth = kw;
    params.kernelHeight = kh;
    params.boundaryMode = kBoundaryReplicate;
    params.filterMode = kFilterConvolution;
    filter2D(params);
    for (std::size_t i = 0; i < n; ++i) {
      z[i][0] = y[i] + shrink(r[i] - y[i], t);
      z[i][1] = 0.0;
    }
    transform2d(kRows, kCols, z.data(), z.data(), FFTW_FORWARD);
    for (std::size_t i = 0; i < n; ++i) {
      const double kr = kernelSpectrum[i][0], ki = kernelSpectrum[i][1];
      const double zr = z[i][0], zi = z[i][1];
      z[i][0] = kr * zr + ki * zi;
      z[i][1] = kr * zi - ki * zr;
    }
    solver.run(z.data(), mu, t, true, u);
  }
}

std::vector<double> referenceL1Tv(const std::vector<double>& y, const std::vector<double>& k,
                                  int kh, int kw, double lambda, int d) {
  const std::size_t n = y.size();
  FftwBuffer kernelSpectrum(n), kernelPower(n), gradientPower(n);
  kernelSpectra(k.data(), kRows, kCols, kh, kw, kernelSpectrum.data(), kernelPower.data(),
                gradientPower.data());
  const ReferenceSolver solver(kRows, kCols, kernelPower.data(), gradientPower.data());
  std::vector<double> x = y;
  referenceL1Solve(y, k, kh, kw, kernelSpectrum.data(), solver, lambda, x.data());
  if (d > 1) {
    std::vector<double> second = y;
    referenceL1Solve(y, k, kh, kw, kernelSpectrum.data(), solver, d * lambda, second.data());
    referenceDeringing(x, second, kRows, kCols);
  }
  return x;
}

// A blurred-looking observation: smooth shading with a few edges and noise.
std::vector<double> observation() {
  std::vector<double> y = randomPlane(kRows, kCols, 21, -0.02, 0.02);
  for (int i = 0; i < kRows; ++i)
    for (int j = 0; j < kCols; ++j)
      y[i * kCols + j] += 0.5 + 0.3 * std::sin(j / 6.0) * std::cos(i / 9.0) + (j > 30 ? 0.1 : 0.0);
  return y;
}

std::vector<double> tv(const std::vector<double>& y, const std::vector<double>& k, double lambda,
                       int d) {
  std::vector<double> x(y.size());
  EXPECT_TRUE(tvDeconvolve(y.data(), x.data(), k.data(), kRows, kCols, kKernelSide, kKernelSide,
                           lambda, d));
  return x;
}

std::vector<double> l1Tv(const std::vector<double>& y, const std::vector<double>& k, double lambda,
                         int d) {
  std::vector<double> x(y.size());
  EXPECT_TRUE(l1TvDeconvolve(y.data(), x.data(), k.data(), kRows, kCols, kKernelSide,
                             kKernelSide, lambda, d));
  return x;
}

TEST(TvDeconvolve, MatchesTheWholeSpectrumFormulation) {
  const std::vector<double> y = observation();
  const std::vector<double> k = shakeKernel(kKernelSide);
  for (const double lambda : {0.0002, 0.01}) {
    for (const int d : {0, 10}) {
      EXPECT_LE(relativeDifference(tv(y, k, lambda, d), referenceTv(y, k, lambda, d, true)),
                kReferenceTolerance)
          << "lambda " << lambda << ", d " << d;
    }
  }
}

TEST(SingleTvDeconvolve, MatchesTheWholeSpectrumFormulation) {
  const std::vector<double> y = observation();
  const std::vector<double> k = shakeKernel(kKernelSide);
  std::vector<double> x(y.size());
  ASSERT_TRUE(singleTvDeconvolve(y.data(), x.data(), k.data(), kRows, kCols, kKernelSide,
                                 kKernelSide, 0.0002));
  EXPECT_LE(relativeDifference(x, referenceTv(y, k, 0.0002, 0, false)), kReferenceTolerance);
}

TEST(L1TvDeconvolve, MatchesTheWholeSpectrumFormulationAndTheDirectBlur) {
  const std::vector<double> y = observation();
  const std::vector<double> k = shakeKernel(kKernelSide);
  EXPECT_LE(relativeDifference(l1Tv(y, k, 0.02, 10),
                               referenceL1Tv(y, k, kKernelSide, kKernelSide, 0.02, 10)),
            kL1ReferenceTolerance);
  // A lopsided kernel, wider than tall, pins the extension on each side.
  const int kh = 3, kw = 11;
  std::vector<double> wide(kh * kw);
  for (int i = 0; i < kh * kw; ++i) wide[i] = (i % 7 + 1.0) / 132.0;
  std::vector<double> x(y.size());
  ASSERT_TRUE(l1TvDeconvolve(y.data(), x.data(), wide.data(), kRows, kCols, kh, kw, 0.02, 0));
  EXPECT_LE(relativeDifference(x, referenceL1Tv(y, wide, kh, kw, 0.02, 0)), kL1ReferenceTolerance);
}

// Every routine with its results in one list, so that serial and threaded
// runs can be compared byte for byte.
std::vector<std::vector<double>> allDeconvolutions(const std::vector<double>& y,
                                                   const std::vector<double>& k) {
  std::vector<double> single(y.size()), hyper(y.size());
  EXPECT_TRUE(singleTvDeconvolve(y.data(), single.data(), k.data(), kRows, kCols, kKernelSide,
                                 kKernelSide, 0.0002));
  EXPECT_TRUE(hyperLaplacianDeconvolve(y.data(), hyper.data(), k.data(), kRows, kCols,
                                       kKernelSide, kKernelSide, 30000.0, 0.5));
  return {tv(y, k, 0.0002, 10), l1Tv(y, k, 0.02, 10), single, hyper};
}

TEST(Deconvolutions, GiveTheSameBytesWhateverTheThreadCount) {
  const std::vector<double> y = observation();
  const std::vector<double> k = shakeKernel(kKernelSide);
  setThreadCount(1);
  const std::vector<std::vector<double>> serial = allDeconvolutions(y, k);
  setThreadCount(3);
  const std::vector<std::vector<double>> threaded = allDeconvolutions(y, k);
  setThreadCount(defaultThreadCount());
  for (std::size_t i = 0; i < serial.size(); ++i) {
    EXPECT_EQ(std::memcmp(serial[i].data(), threaded[i].data(), serial[i].size() * sizeof(double)),
              0)
        << "routine " << i;
  }
}

TEST(TvDeconvolve, LogsTheFirstSolveBeforeTheSecondWhenTheyRunAtOnce) {
  const std::vector<double> y = observation();
  const std::vector<double> k = shakeKernel(kKernelSide);
  setThreadCount(2);
  std::vector<double> x(y.size());
  IterationLog log;
  ASSERT_TRUE(tvDeconvolve(y.data(), x.data(), k.data(), kRows, kCols, kKernelSide, kKernelSide,
                           0.0002, 10, &log));
  setThreadCount(defaultThreadCount());
  ASSERT_EQ(log.size(), 20u);
  for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].solve, i < 10 ? 0 : 1);
  EXPECT_DOUBLE_EQ(log[0].beta, 0.0002);
  EXPECT_DOUBLE_EQ(log[10].beta, 0.002);
}

TEST(MedianFilter, GivesTheSameBytesWhateverTheThreadCountAsASortedWindow) {
  const int rows = 75, cols = 40;
  const std::vector<double> plane = randomPlane(rows, cols, 22, -1.0, 1.0);
  const std::vector<double> expected = referenceMedian(plane, rows, cols);
  for (const int threads : {1, 2, 3}) {
    setThreadCount(threads);
    std::vector<double> median(plane.size());
    medianFilter(plane.data(), median.data(), cols, rows, 7);
    EXPECT_EQ(median, expected) << threads << " threads";
  }
  setThreadCount(defaultThreadCount());
}

}  // namespace
}  // namespace kestrel
