#include "fourier/complex_rows.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace kestrel {
namespace {

// FFTW's codelets and small-prime transforms beat the split up to here.
constexpr int kLargestFftwPrime = 31;
// Convolution lengths p - 1 with no prime factor above this transform fast.
constexpr int kLargestConvolutionFactor = 13;

std::size_t offset(int row, int width) {
  return static_cast<std::size_t>(row) * static_cast<std::size_t>(width);
}

int largestPrimeFactor(int n) {
  int largest = 1;
  for (int f = 2; f <= n / f; ++f) {
    while (n % f == 0) {
      largest = f;
      n /= f;
    }
  }
  return std::max(largest, n);
}

int powerModulo(int base, int exponent, int modulus) {
  long long result = 1;
  long long square = base % modulus;
  for (; exponent > 0; exponent /= 2) {
    if (exponent % 2 == 1) result = result * square % modulus;
    square = square * square % modulus;
  }
  return static_cast<int>(result);
}

// The smallest g whose powers run through every nonzero residue mod prime.
int generatorModulo(int prime) {
  std::vector<int> factors;
  for (int n = prime - 1, f = 2; n > 1; ++f) {
    if (n % f != 0) continue;
    factors.push_back(f);
    while (n % f == 0) n /= f;
  }
  for (int g = 2;; ++g) {
    const bool generates = std::all_of(factors.begin(), factors.end(), [&](int f) {
      return powerModulo(g, (prime - 1) / f, prime) != 1;
    });
    if (generates) return g;
  }
}

// exp(sign 2 pi i numerator / denominator), the numerator reduced first so
// that the angle keeps full precision.
void rootOfUnity(long long numerator, int denominator, int sign, fftw_complex& value) {
  const double angle =
      2.0 * std::acos(-1.0) * static_cast<double>(numerator % denominator) / denominator;
  value[0] = std::cos(angle);
  value[1] = sign * std::sin(angle);
}

}  // namespace

bool ComplexRows::splitsLength(int length) {
  if (length < 2) return false;
  const int prime = largestPrimeFactor(length);
  return prime > kLargestFftwPrime && largestPrimeFactor(prime - 1) <= kLargestConvolutionFactor;
}

ComplexRows::ComplexRows(int count, int length, fftw_complex* data, int sign)
    : count_(count), length_(length), data_(data) {
  assert(count >= 1 && length >= 1);
  assert(sign == FFTW_FORWARD || sign == FFTW_BACKWARD);
  if (!splitsLength(length)) {
    plan_ = FftwPlan::rows(count, length, data, sign);
    return;
  }
  prime_ = largestPrimeFactor(length);
  pieces_ = length / prime_;
  const int cycle = prime_ - 1;

  const int generator = generatorModulo(prime_);
  const int inverse = powerModulo(generator, prime_ - 2, prime_);
  for (int q = 0; q < cycle; ++q) {
    gatherOffsets_.push_back(powerModulo(generator, q, prime_) * pieces_);
    inversePowers_.push_back(powerModulo(inverse, q, prime_));
  }

  // With x_q = x[g^q] and X[g^-s] - x[0] = sum_q x_q w^(g^(q-s)), the
  // nonzero frequencies are the cyclic convolution of x_q with
  // h_t = w^(g^-t).
  kernelSpectrum_ = FftwBuffer(static_cast<std::size_t>(cycle));
  for (int t = 0; t < cycle; ++t) {
    rootOfUnity(inversePowers_[t], prime_, sign, kernelSpectrum_[t]);
    kernelSpectrum_[t][0] /= cycle;
    kernelSpectrum_[t][1] /= cycle;
  }
  FftwPlan::rows(1, cycle, kernelSpectrum_.data(), FFTW_FORWARD).execute();

  twiddles_ = FftwBuffer(offset(pieces_, cycle));
  for (int r = 0; r < pieces_; ++r) {
    for (int s = 0; s < cycle; ++s) {
      rootOfUnity(static_cast<long long>(r) * inversePowers_[s], length, sign,
                  twiddles_[offset(r, cycle) + s]);
    }
  }

  convolution_ = FftwBuffer(offset(pieces_, cycle));
  pieceSpectra_ = FftwBuffer(offset(pieces_, prime_));
  convolutionForward_ = FftwPlan::rows(pieces_, cycle, convolution_.data(), FFTW_FORWARD);
  convolutionBackward_ = FftwPlan::rows(pieces_, cycle, convolution_.data(), FFTW_BACKWARD);
  if (pieces_ > 1) {
    acrossPieces_ = FftwPlan::columnsToAnyArray(pieces_, prime_, pieceSpectra_.data(), data, sign);
  }
}

void ComplexRows::execute() const {
  if (prime_ == 0) {
    plan_.execute();
    return;
  }
  for (int row = 0; row < count_; ++row) transformSplitRow(data_ + offset(row, length_));
}

// With m = pieces_ and p = prime_, sequence r of the row is x[m j + r] for
// j = 0 .. p - 1. Its p-point transform Y_r[k], twiddled by
// exp(sign 2 pi i r k / length), gives X[k + p k2] as the m-point transform
// over r.
void ComplexRows::transformSplitRow(fftw_complex* row) const {
  const int cycle = prime_ - 1;
  fftw_complex* convolution = convolution_.data();
  fftw_complex* spectra = pieceSpectra_.data();
  for (int r = 0; r < pieces_; ++r) {
    fftw_complex* sequence = convolution + offset(r, cycle);
    const fftw_complex* values = row + r;
    for (int q = 0; q < cycle; ++q) {
      sequence[q][0] = values[gatherOffsets_[q]][0];
      sequence[q][1] = values[gatherOffsets_[q]][1];
    }
  }
  convolutionForward_.execute();
  for (int r = 0; r < pieces_; ++r) {
    fftw_complex* sequence = convolution + offset(r, cycle);
    // The transform's frequency 0 is the sum of the sequence without x[0].
    spectra[offset(r, prime_)][0] = row[r][0] + sequence[0][0];
    spectra[offset(r, prime_)][1] = row[r][1] + sequence[0][1];
    for (int q = 0; q < cycle; ++q) {
      const double re = sequence[q][0], im = sequence[q][1];
      const double kr = kernelSpectrum_[q][0], ki = kernelSpectrum_[q][1];
      sequence[q][0] = re * kr - im * ki;
      sequence[q][1] = re * ki + im * kr;
    }
  }
  convolutionBackward_.execute();
  for (int r = 0; r < pieces_; ++r) {
    const fftw_complex* sequence = convolution + offset(r, cycle);
    const fftw_complex* twiddle = twiddles_.data() + offset(r, cycle);
    fftw_complex* spectrum = spectra + offset(r, prime_);
    const double firstRe = row[r][0], firstIm = row[r][1];
    for (int s = 0; s < cycle; ++s) {
      const int k = inversePowers_[s];
      const double re = firstRe + sequence[s][0], im = firstIm + sequence[s][1];
      spectrum[k][0] = re * twiddle[s][0] - im * twiddle[s][1];
      spectrum[k][1] = re * twiddle[s][1] + im * twiddle[s][0];
    }
  }
  if (pieces_ == 1) {
    std::memcpy(row, spectra, sizeof(fftw_complex) * prime_);
  } else {
    acrossPieces_.execute(spectra, row);
  }
}

}  // namespace kestrel
