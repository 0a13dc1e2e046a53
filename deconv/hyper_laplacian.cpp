#include "deconv/hyper_laplacian.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "deconv/gradient_split.h"

namespace kestrel {
namespace {

constexpr double kHalfPower = 0.5;
constexpr double kLargestBeta = 256.0;

// The cache of gradient-step solutions: bins of width 0.0001 from -15.
constexpr double kBinOrigin = 15.0;
constexpr double kBinWidth = 0.0001;
constexpr int kBinCount = 300001;

// Constants of the closed-form roots, rounded to seven decimals: 2/3, 3
// sqrt 3, then the factors that 2^(1/3), 3 and sqrt 3 give the three roots.
constexpr double kTwoThirds = 0.6666667;
constexpr double kThreeRootThree = 5.1961524;
constexpr double kFirstRootT3 = 0.4199737;
constexpr double kFirstRootDivisor = 3.7797631;
constexpr double kOtherRootsT3 = 0.2099868;
constexpr double kOtherRootsT2 = 0.1322834;
constexpr double kImaginaryT2 = 0.2291216;
constexpr double kImaginaryT3 = 0.3637079;
constexpr double kRealTolerance = 1e-6;

using Complex = std::complex<double>;

// Exponents this close to 2/3 are solved as 2/3: 0.667 and 0.6667 both mean it.
constexpr double kTwoThirdsTolerance = 5e-4;

// The table of the general exponent: minimisers for |v| from 0 to
// kTableSpan, beyond which values are solved one by one. Gradients of a
// picture in [0, 1] rarely leave that span, and an interval of 2.5e-4 keeps
// the interpolation error far below the 8-bit step.
constexpr double kTableSpan = 1.5;
constexpr int kTableSteps = 6000;
constexpr int kNewtonSteps = 60;
constexpr double kNewtonTolerance = 1e-14;

// lambda = kWeightAtOnePercent (sigma / 0.01)^-b kWeightPerExponent^(alpha
// - 1/2) with b = kNoiseExponent - kNoiseExponentSlope (alpha - 1/2): the
// best weights found with true kernels on photos and kernels kept apart
// from those the benchmarks report (2000 at sigma 0.01 for alpha 1/2, 1500
// for 2/3, 700 for 1; about 20000 and 700 at 0.002 and 0.02 for 1/2) lie
// near it, where the mean PSNR changes little.
constexpr double kWeightAtOnePercent = 2000.0;
constexpr double kWeightPerExponent = 0.1225;
constexpr double kNoiseExponent = 1.5;
constexpr double kNoiseExponentSlope = 0.3;
constexpr double kLeastNoise = 0.001;

// w = root(v) for every v of vh (into wh) and vv (into wv), cached in bins
// of width kBinWidth: the first value met in a bin, in row-major order with
// vh before vv at each index, decides for the rest of the call. Values
// outside the bins are solved one by one.
template <typename Root>
void cachedShrink(const double* vh, const double* vv, double* wh, double* wv, int rows, int cols,
                  Root root) {
  std::vector<double> table(kBinCount);
  std::vector<unsigned char> filled(kBinCount, 0);
  const auto solve = [&](double v) {
    // Compared before truncating: a value far outside would overflow the
    // integer conversion.
    const double position = (v + kBinOrigin) / kBinWidth;
    if (!(position > -1.0 && position < kBinCount)) return root(v);
    const int bin = static_cast<int>(position);
    if (!filled[bin]) {
      table[bin] = root(v);
      filled[bin] = 1;
    }
    return table[bin];
  };
  const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  for (std::size_t i = 0; i < n; ++i) {
    wh[i] = solve(vh[i]);
    wv[i] = solve(vv[i]);
  }
}

}  // namespace

double halfPowerRoot(double v, double c) {
  const double m = v > 0.0 ? c : (v < 0.0 ? -c : 0.0);
  const double v3 = v * v * v;
  const double a = 27.0 * m * m + 4.0 * m * v3;
  const Complex rootA = a < 0.0 ? Complex(0.0, std::sqrt(-a)) : Complex(std::sqrt(a), 0.0);
  const Complex b = -27.0 * m - 2.0 * v3 + kThreeRootThree * rootA;
  // Principal cube root through the polar form: exp(log(b) / 3).
  const double modulus = std::exp(std::log(std::hypot(b.real(), b.imag())) / 3.0);
  const double angle = std::atan2(b.imag(), b.real()) / 3.0;
  const Complex t2(modulus * std::cos(angle), modulus * std::sin(angle));
  if (t2 == 0.0) return 0.0;

  const double t1 = kTwoThirds * v;
  const Complex t3 = v * v / t2;
  const Complex p = kImaginaryT2 * t2 - kImaginaryT3 * t3;
  const Complex ip(-p.imag(), p.real());
  const Complex common = t1 - kOtherRootsT3 * t3 - kOtherRootsT2 * t2;
  const Complex roots[3] = {t1 + kFirstRootT3 * t3 + t2 / kFirstRootDivisor, common + ip,
                            common - ip};

  // Only roots between 2/3 v and v can beat w = 0 for the half power.
  const double sign = v > 0.0 ? 1.0 : -1.0;
  double best = 0.0;
  double bestMagnitude = -1.0;
  for (const Complex& r : roots) {
    const double along = sign * r.real();
    const bool admissible = std::fabs(r.imag()) < kRealTolerance &&
                            kTwoThirds * std::fabs(v) < along && along < std::fabs(v);
    if (admissible && std::abs(r) > bestMagnitude) {
      best = r.real();
      bestMagnitude = std::abs(r);
    }
  }
  return best;
}

void halfPowerShrink(const double* vh, const double* vv, double* wh, double* wv, int rows, int cols,
                     double beta, double alpha) {
  if (alpha != kHalfPower) return;
  const double c = -0.25 / beta / beta;
  cachedShrink(vh, vv, wh, wv, rows, cols, [c](double v) { return halfPowerRoot(v, c); });
}

double twoThirdsPowerRoot(double v, double beta) {
  if (v == 0.0) return 0.0;
  const double magnitude = std::fabs(v);
  // A nonzero minimiser w of |w|^(2/3) + beta/2 (w - v)^2 (v > 0) has
  // 2/3 w^(-1/3) = beta (v - w), so u = v - w solves (v - u) u^3 = k with
  // k = 8 / (27 beta^3), and s = 1/u the depressed quartic
  // s^4 + q s + r = 0 with q = -v/k, r = 1/k. Ferrari: with m a positive
  // root of m^3 - r m - q^2/8 = 0, (s^2 + m)^2 = 2m (s - q/(4m))^2; only
  // s^2 - sqrt(2m) s + m + q/(2 sqrt(2m)) = 0 can have real roots for q < 0,
  // and its larger root is the smaller u, the minimum rather than the
  // maximum between the two.
  const double k = 8.0 / (27.0 * beta * beta * beta);
  const double q = -magnitude / k;
  const double r = 1.0 / k;
  const double halfQ2 = q * q / 16.0;  // -(constant term)/2 of the cubic
  const double third = r / 3.0;
  const double discriminant = halfQ2 * halfQ2 - third * third * third;
  double m;
  if (discriminant > 0.0) {
    const double root = std::sqrt(discriminant);
    m = std::cbrt(halfQ2 + root) + std::cbrt(halfQ2 - root);
  } else {
    // Three real roots: the largest, by the trigonometric form.
    const double ratio = std::clamp(halfQ2 / (third * std::sqrt(third)), -1.0, 1.0);
    m = 2.0 * std::sqrt(third) * std::cos(std::acos(ratio) / 3.0);
  }
  const double twoM = std::sqrt(2.0 * m);
  const double quadratic = 2.0 * m - 4.0 * (m + q / (2.0 * twoM));
  if (!(quadratic >= 0.0)) return 0.0;
  const double s = 0.5 * (twoM + std::sqrt(quadratic));
  const double w = magnitude - 1.0 / s;
  if (!(w > 0.0 && w < magnitude)) return 0.0;
  // The local minimum must also beat w = 0.
  const double gain = std::cbrt(w * w) + 0.5 * beta * (w - magnitude) * (w - magnitude) -
                      0.5 * beta * magnitude * magnitude;
  if (!(gain < 0.0)) return 0.0;
  return v > 0.0 ? w : -w;
}

double powerShrinkRoot(double v, double beta, double alpha) {
  if (v == 0.0) return 0.0;
  const double magnitude = std::fabs(v);
  // On w > 0 the derivative g(w) = alpha w^(alpha-1) + beta (w - v) is
  // convex and falls to its least value at lowest; a root beyond it is
  // the local minimum. Newton's method from v, where g > 0, approaches it
  // from above without overshooting.
  const double lowest = std::pow(alpha * (1.0 - alpha) / beta, 1.0 / (2.0 - alpha));
  const auto slope = [&](double w) {
    return alpha * std::pow(w, alpha - 1.0) + beta * (w - magnitude);
  };
  if (!(lowest < magnitude) || !(slope(lowest) < 0.0)) return 0.0;
  double w = magnitude;
  for (int i = 0; i < kNewtonSteps; ++i) {
    const double curvature = alpha * (alpha - 1.0) * std::pow(w, alpha - 2.0) + beta;
    const double step = slope(w) / curvature;
    w -= step;
    if (!(std::fabs(step) > kNewtonTolerance * magnitude)) break;
  }
  const double gain = std::pow(w, alpha) + 0.5 * beta * (w - magnitude) * (w - magnitude) -
                      0.5 * beta * magnitude * magnitude;
  if (!(w > 0.0) || !(gain < 0.0)) return 0.0;
  return v > 0.0 ? w : -w;
}

PowerShrinkTable::PowerShrinkTable(double beta, double alpha)
    : beta_(beta), alpha_(alpha), values_(kTableSteps + 1) {
  for (int i = 0; i <= kTableSteps; ++i) {
    values_[i] = powerShrinkRoot(kTableSpan * i / kTableSteps, beta, alpha);
  }
}

double PowerShrinkTable::operator()(double v) const {
  const double magnitude = std::fabs(v);
  const double position = magnitude * (kTableSteps / kTableSpan);
  if (!(position < kTableSteps)) return powerShrinkRoot(v, beta_, alpha_);
  const int i = static_cast<int>(position);
  const double low = values_[i];
  const double high = values_[i + 1];
  // The minimiser jumps from 0 at the threshold: that interval is solved.
  if ((low == 0.0) != (high == 0.0)) return powerShrinkRoot(v, beta_, alpha_);
  const double fraction = position - i;
  const double w = low + fraction * (high - low);
  return v < 0.0 ? -w : w;
}

void powerShrink(const double* vh, const double* vv, double* wh, double* wv, int rows, int cols,
                 double beta, double alpha) {
  if (alpha == kHalfPower) {
    halfPowerShrink(vh, vv, wh, wv, rows, cols, beta, alpha);
  } else if (std::fabs(alpha - 2.0 / 3.0) < kTwoThirdsTolerance) {
    cachedShrink(vh, vv, wh, wv, rows, cols,
                 [beta](double v) { return twoThirdsPowerRoot(v, beta); });
  } else {
    const PowerShrinkTable table(beta, alpha);
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    for (std::size_t i = 0; i < n; ++i) {
      wh[i] = table(vh[i]);
      wv[i] = table(vv[i]);
    }
  }
}

double automaticHyperLaplacianWeight(double noiseSigma, double alpha) {
  const double sigma = std::max(noiseSigma, kLeastNoise);
  const double offset = alpha - kHalfPower;
  const double exponent = kNoiseExponent - kNoiseExponentSlope * offset;
  return kWeightAtOnePercent * std::pow(sigma / 0.01, -exponent) *
         std::pow(kWeightPerExponent, offset);
}

bool hyperLaplacianDeconvolve(const double* y, double* x, const double* k, int rows, int cols,
                              int kh, int kw, double lambda, double alpha, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  if (!(alpha > 0.0 && alpha <= 1.0) || !(lambda > 0.0)) return false;
  LeastSquaresProblem problem(y, k, rows, cols, kh, kw);
  GradientSplitSolver& solver = problem.solver();
  const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  std::vector<double> vh(n);
  std::vector<double> vv(n);
  forwardDifferences(x, vh.data(), vv.data(), rows, cols);
  const double growth = std::sqrt(2.0) + std::sqrt(2.0);
  double beta = 1.0;
  do {
    // The data term carries lambda, so the coupling weight is beta/lambda.
    const double gamma = beta / lambda;
    powerShrink(vh.data(), vv.data(), solver.horizontal(), solver.vertical(), rows, cols, beta,
                alpha);
    solver.solve(problem.numerator(), gamma, x);
    forwardDifferences(x, vh.data(), vv.data(), rows, cols);
    if (log != nullptr) log->push_back({0, 0, beta, 0.0, gamma});
    beta *= growth;
  } while (beta < kLargestBeta);
  return true;
}

}  // namespace kestrel
