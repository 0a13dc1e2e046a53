// The transform floor of a run: every two-dimensional transform the run
// makes, timed alone on one thread, each the faster of the way the program
// does it and FFTW's own plan at the next 7-smooth grid. The sum over the
// cores is the least time the run could take if it did nothing else.
//
// usage: transform_floor LIST [cores]
// LIST holds one line per kind of transform: "split|fftw fwd|bwd ROWS COLS
// READ COUNT", where split is the program's row and column transform
// reading (forward) or writing (backward) only READ rows, fftw a plain
// FFTW plan of the whole grid, and COUNT how many the run makes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "fourier/fftw_resources.h"
#include "fourier/grid.h"
#include "fourier/half_spectra.h"
#include "fourier/split_transform.h"
#include "parallel/parallel.h"

namespace {

using kestrel::FftwBuffer;
using kestrel::FftwPlan;
using kestrel::FftwRealBuffer;
using kestrel::SplitRealTransform;

constexpr int kRepeats = 5;

template <typename Run>
double bestSeconds(const Run& run) {
  double best = 1e300;
  for (int r = 0; r < kRepeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    best = std::min(best, taken.count());
  }
  return best;
}

int nextSmooth(int n) {
  for (;; ++n) {
    int rest = n;
    for (int p : {2, 3, 5, 7}) {
      while (rest % p == 0) rest /= p;
    }
    if (rest == 1) return n;
  }
}

struct Grid {
  Grid(int rows, int cols)
      : real(kestrel::cellCount(rows, cols)), spectrum(kestrel::halfCells(rows, cols)) {
    for (std::size_t i = 0; i < real.size(); ++i) real[i] = std::sin(0.01 * static_cast<double>(i));
    for (std::size_t i = 0; i < spectrum.size(); ++i) {
      spectrum[i][0] = std::cos(0.01 * static_cast<double>(i));
      spectrum[i][1] = 0.0;
    }
  }
  FftwRealBuffer real;
  FftwBuffer spectrum;
};

double plainSeconds(bool forward, int rows, int cols) {
  Grid grid(rows, cols);
  const FftwPlan plan =
      forward ? FftwPlan::realForward2d(rows, cols, grid.real.data(), grid.spectrum.data())
              : FftwPlan::realBackward2d(rows, cols, grid.spectrum.data(), grid.real.data());
  return bestSeconds([&] { plan.execute(); });
}

double splitSeconds(bool forward, int rows, int cols, int read) {
  Grid grid(rows, cols);
  const SplitRealTransform transform =
      forward ? SplitRealTransform::forward(rows, cols, {{0, read}}, grid.real.data(),
                                            grid.spectrum.data())
              : SplitRealTransform::backward(rows, cols, {{0, read}}, grid.spectrum.data(),
                                             grid.real.data());
  return bestSeconds([&] { transform.execute(); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: transform_floor LIST [cores]\n", stderr);
    return 2;
  }
  std::ifstream list(argv[1]);
  if (!list) {
    std::fprintf(stderr, "transform_floor: cannot read %s\n", argv[1]);
    return 1;
  }
  const int cores = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
  kestrel::setThreadCount(1);
  double asDone = 0.0;
  double floor = 0.0;
  std::string line;
  std::printf("%-5s %-3s %11s %5s %6s | %9s %9s %11s\n", "kind", "dir", "grid", "read", "count",
              "as done", "plain", "7-smooth");
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind, direction;
    int rows = 0, cols = 0, read = 0;
    long count = 0;
    if (!(fields >> kind >> direction >> rows >> cols >> read >> count) || rows < 1 || cols < 1) {
      std::fprintf(stderr, "transform_floor: bad line: %s\n", line.c_str());
      return 1;
    }
    const bool forward = direction == "fwd";
    const double plain = plainSeconds(forward, rows, cols);
    const double done = kind == "split" ? splitSeconds(forward, rows, cols, read) : plain;
    const double smooth = plainSeconds(forward, nextSmooth(rows), nextSmooth(cols));
    std::printf("%-5s %-3s %5d x %-5d %5d %6ld | %6.2f ms %6.2f ms %8.2f ms\n", kind.c_str(),
                direction.c_str(), rows, cols, read, count, 1e3 * done, 1e3 * plain, 1e3 * smooth);
    asDone += done * static_cast<double>(count);
    floor += std::min(done, smooth) * static_cast<double>(count);
  }
  std::printf("one thread: %.2f s as done, %.2f s at the better of each; floor on %d cores %.2f s\n",
              asDone, floor, cores, floor / cores);
  return 0;
}
