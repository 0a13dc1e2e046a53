#include "deconv/hyper_laplacian.h"

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "deconv/gradient_split.h"

namespace kestrel {
namespace {

constexpr double kSolvedExponent = 0.5;
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
  if (alpha != kSolvedExponent) return;
  const double c = -0.25 / beta / beta;
  std::vector<double> table(kBinCount);
  std::vector<unsigned char> filled(kBinCount, 0);
  const auto solve = [&](double v) {
    // Compared before truncating: a value far outside would overflow the
    // integer conversion.
    const double position = (v + kBinOrigin) / kBinWidth;
    if (!(position > -1.0 && position < kBinCount)) return halfPowerRoot(v, c);
    const int bin = static_cast<int>(position);
    if (!filled[bin]) {
      table[bin] = halfPowerRoot(v, c);
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

bool hyperLaplacianDeconvolve(const double* y, double* x, const double* k, int rows, int cols,
                              int kh, int kw, double lambda, double alpha, IterationLog* log) {
  if (!acceptKernel(y, x, rows, cols, kh, kw)) return false;
  if (alpha != kSolvedExponent || !(lambda > 0.0)) return false;
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
    halfPowerShrink(vh.data(), vv.data(), solver.horizontal(), solver.vertical(), rows, cols, beta,
                    alpha);
    solver.solve(problem.numerator(), gamma, x);
    forwardDifferences(x, vh.data(), vv.data(), rows, cols);
    if (log != nullptr) log->push_back({0, 0, beta, 0.0, gamma});
    beta *= growth;
  } while (beta < kLargestBeta);
  return true;
}

}  // namespace kestrel
