// Sharp-edge prediction for blind kernel estimation.
//
// From the current latent (sharp) estimate of one pyramid level the engine
// predicts a pair of gradient planes holding only strong, coherent edges:
// Gaussian pre-smoothing, shock filtering, forward differences, then every
// pixel whose gradient is weak or whose neighbourhood in the blurred image is
// incoherent is cleared. Kernel estimation fits the blur against these planes.
//
// Planes are width x height doubles, row-major, top row first; pixel (x, y) is
// element y * width + x. Several planes are stored one after another.
#pragma once

#include <vector>

namespace kestrel {

// Parameter record of one pyramid level. The defaults are the values a level
// starts with; the driver copies the evolving ones back after each prediction.
struct PredictionParams {
  const double* latent = nullptr;  // borrowed: the current latent image
  int width = 0;
  int height = 0;
  int planes = 1;
  int kernelWidth = 0;   // odd
  int kernelHeight = 0;  // odd
  int shockIterations = 1;
  double sigma = 2.0;  // of the 5x5 Gaussian pre-smoothing
  double decay = 0.9;  // shrinks sigma, shockStep and gradThreshold after each use
  // One per plane; a value <= 0 asks for the threshold to be derived.
  double gradThreshold[3] = {-1.0, -1.0, -1.0};
  double shockStep = 1.0;
  double shockScale = 1.0;
  // A value below -10 asks for the threshold to be derived; 0 lets every
  // non-negative coherence pass.
  double coherenceThreshold = -100.0;
};

class CImageMyPredictionEngine {
 public:
  CImageMyPredictionEngine() = default;
  virtual ~CImageMyPredictionEngine() = default;

  // Copies the configuration (everything but the coherence threshold) from
  // the record; coherenceThreshold, coherenceMap and weight stay as they are.
  void init(const PredictionParams& params);
  // The same plus coherenceThreshold, the level's gradient coherence map
  // (width x height values >= 0, borrowed) and the weight that scales the rank
  // used to derive the coherence threshold.
  void init(const PredictionParams& params, const double* coherenceMap, double weight);

  // Predicts gradX and gradY (width x height each) from the first plane of
  // latent, then advances sigma and shockStep by decay, coherenceThreshold by
  // 0.7 and gradThreshold[0] by decay. Both thresholds are derived first when
  // they ask for it; the gradient threshold is the smallest over four bins of
  // folded orientation of each bin's k-th largest masked magnitude, with
  // k = 2 * max(kernelWidth, kernelHeight). As for the coherence threshold, a
  // bin without pixels takes no part and a picture without pixels derives 0.
  void predict();

  // Predicts every one of `planes` (1 to 3) planes on its own, without the
  // coherence mask; plane p is cleared against gradThreshold[p], derived from
  // that plane's own magnitudes when <= 0. gradX and gradY then hold
  // planes x height x width values. Advances sigma, shockStep and
  // gradThreshold[0 .. planes-1]; the coherence members are not touched.
  void predictPlanes();

  // Writes 1.0 where coherenceThreshold <= coherenceMap and 0.0 elsewhere
  // (NaN included) into the caller's width x height mask; derives the
  // threshold first when it is below -10.
  // Derivation: the k-th largest coherence of each of four orientation bins
  // of the latent's forward differences, the smallest over the bins, at most
  // 0.05. A bin without pixels takes no part, and with no pixel at all the
  // threshold is 0. A rank k below 1 (weight 0, tiny, negative or NaN) counts
  // as 1, the bin's largest value.
  void computeCoherenceMask(double* mask);

  // Quickselect over values[first..last] (inclusive), reordering it: the k-th
  // largest value, duplicates counted, k counted from 1; for k past the end
  // the smallest value. Needs first <= last and k >= 1.
  static double selectKthLargest(double* values, int first, int last, int k);

  // One descending partition around values[first]: on return every value left
  // of the returned index is >= the pivot and every value right of it <=.
  static int partitionDescending(double* values, int first, int last);

  const double* latent = nullptr;
  // Owned; empty until the first prediction, then sized for the configuration
  // in force at the last one.
  std::vector<double> gradX;
  std::vector<double> gradY;
  int width = 0;
  int height = 0;
  int planes = 1;
  int kernelWidth = 0;
  int kernelHeight = 0;
  double sigma = 0.0;
  double decay = 0.0;
  double gradThreshold[3] = {0.0, 0.0, 0.0};
  double shockStep = 0.0;
  double shockScale = 1.0;
  int shockIterations = 0;
  double coherenceThreshold = 0.0;
  const double* coherenceMap = nullptr;
  double weight = 0.0;

 private:
  // Planes of predict, kept for the next prediction of the level.
  std::vector<double> smoothed_;
  std::vector<double> shocked_;
  std::vector<double> mask_;
  std::vector<double> magnitude_;
};

}  // namespace kestrel
