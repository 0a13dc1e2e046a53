// In place complex transforms of contiguous rows.
//
// FFTW's planner, without timing plans, handles a row length with a large
// prime factor p by Bluestein's algorithm and runs two to three times slower
// on it than on a length of small factors. For such lengths (p above 31 and
// p - 1 made of primes up to 13) the rows are transformed here instead:
// length = m p is split into p-point transforms of m interleaved sequences,
// each done by Rader's algorithm as a cyclic convolution of length p - 1
// (FFTW transforms of a fast length), followed by twiddles and m-point
// transforms. Every transform still runs through FFTW.
#pragma once

#include <vector>

#include "fourier/fftw_resources.h"

namespace kestrel {

class ComplexRows {
 public:
  ComplexRows() = default;
  // count rows of length values each, one after another from data, each
  // transformed in place; sign is FFTW_FORWARD or FFTW_BACKWARD and the
  // transforms are unnormalised, as FFTW's.
  ComplexRows(int count, int length, fftw_complex* data, int sign);

  // Not safe to call on one object from two threads at once: a split row
  // goes through buffers the object owns.
  void execute() const;

  // Whether rows of this length are split rather than handed to FFTW's
  // planner.
  static bool splitsLength(int length);

 private:
  void transformSplitRow(fftw_complex* row) const;

  int count_ = 0;
  int length_ = 0;
  fftw_complex* data_ = nullptr;
  // Without a split, FFTW's plan of all the rows.
  FftwPlan plan_;

  // With a split: length = pieces_ * prime_.
  int prime_ = 0;
  int pieces_ = 0;
  // For q = 0 .. prime_ - 2 and g a generator mod prime_: where in a row
  // the first sequence's value g^q mod prime_ lies, and the residue g^-q.
  std::vector<int> gatherOffsets_;
  std::vector<int> inversePowers_;
  // The transform of the convolution kernel, divided by prime_ - 1.
  FftwBuffer kernelSpectrum_;
  // pieces_ x (prime_ - 1) twiddles exp(sign 2 pi i r g^-s / length), row r,
  // column s: in the order the convolution yields the frequencies.
  FftwBuffer twiddles_;
  // pieces_ rows of prime_ - 1 values, the sequences in generator order.
  mutable FftwBuffer convolution_;
  // pieces_ rows of prime_ values, the twiddled p-point transforms.
  mutable FftwBuffer pieceSpectra_;
  FftwPlan convolutionForward_;
  FftwPlan convolutionBackward_;
  // The m-point transforms down the columns of pieceSpectra_, written into
  // a row of data.
  FftwPlan acrossPieces_;
};

}  // namespace kestrel
