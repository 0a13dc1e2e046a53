#include "app/memory_budget.h"

#include <sys/resource.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "app/command_line.h"
#include "deblur/tiling.h"
#include "fourier/level_spectra.h"

namespace kestrel {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kLargestBudget = std::uint64_t{1} << 50;
// cgroup limits this large are the kernels' way of saying none.
constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 60;

// The largest mapping threshold glibc takes on 64-bit systems: blocks above
// it are still mapped and unmapped on their own.
constexpr int kLargestHeapBlock = 32 << 20;
// Free memory at the top of the heap kept rather than returned.
constexpr int kKeptFreeTop = 1 << 30;
// Extra room asked of the system each time the heap grows.
constexpr int kHeapGrowthPad = 256 << 20;

// Resident bytes of the program before any picture: code, libraries and
// the transform library's tables.
constexpr double kFixedBytes = 16.0 * kMiB;

// Bytes per pixel of the padded canvas, (width + 2 kernelWidth) by
// (height + 2 kernelHeight): held through the whole run whatever the plane
// count, per plane held, and per plane being deconvolved at the same time
// (the non-blind commands run one plane per thread). Fitted to the peaks of
// colour and grey photos of 1, 4 and 12 megapixels with 1 to 3 threads; the
// classic estimator's to photos of 1, 2 and 4 megapixels with 2 threads,
// together with kClassicBytesPerGridCell.
struct CanvasBytes {
  double shared;
  double perPlane;
  double perPlaneInFlight;
};

CanvasBytes canvasBytes(Workload workload, bool robust) {
  switch (workload) {
    case Workload::ClassicBlind:
      return robust ? CanvasBytes{228, 15, 0} : CanvasBytes{195, 15, 0};
    case Workload::SparseBlind:
      return robust ? CanvasBytes{196, 25, 0} : CanvasBytes{129, 27, 0};
    case Workload::Marlin:
      return {6, 29, 65};
    case Workload::Osprey:
      return {0, 25, 92};
  }
  return {0, 0, 0};
}

// Bytes per cell of the classic estimator's finest padded grid, whose
// pure prime-power sides make it from 1.1 to 2 times the canvas: its spectra
// and scratch, held through the finest level.
constexpr double kClassicBytesPerGridCell = 43;

double classicGridCells(const RunShape& shape) {
  return static_cast<double>(fftFriendlySize(shape.height + shape.kernelHeight - 1)) *
         fftFriendlySize(shape.width + shape.kernelWidth - 1);
}

// Above kTiledAbovePixels the blind commands deconvolve tile by tile. The
// picture's canvas then carries the kernel estimation and the planes kept
// whole, and the canvas of one tile (its core extended and padded) the
// working set of the final stage. Fitted to colour and grey photos of 6 and
// 12 megapixels with a 31 x 31 kernel; the robust deconvolution's extra
// working set to the sparse estimator's colour photo of 12 megapixels.
struct TiledBytes {
  CanvasBytes canvas;
  CanvasBytes tile;
};

TiledBytes tiledBytes(Workload workload, bool robust) {
  switch (workload) {
    case Workload::ClassicBlind:
      return {{198, 16, 0}, {robust ? 154.0 : 79.0, 0, 0}};
    case Workload::SparseBlind:
      return {{16, 11, 0}, {robust ? 121.0 : 46.0, 45, 0}};
    case Workload::Marlin:
    case Workload::Osprey:
      break;
  }
  return {{0, 0, 0}, {0, 0, 0}};
}

bool deconvolvesInTiles(Workload workload, const RunShape& shape) {
  return (workload == Workload::ClassicBlind || workload == Workload::SparseBlind) &&
         static_cast<long long>(shape.width) * shape.height > kTiledAbovePixels;
}

// Pixels of the padded canvas of a tile along one direction of length
// samples and a kernel side of kernelSide.
double tileCanvasSide(int length, int kernelSide, int reach) {
  return std::min(length, kTileCore + 2 * reach) + 2.0 * kernelSide;
}

double bytesPerPixel(const CanvasBytes& bytes, int planes, int inFlight) {
  return bytes.shared + bytes.perPlane * planes + bytes.perPlaneInFlight * inFlight;
}

// The number that follows key in a "key value" file such as /proc/meminfo,
// times scale; 0 when the file or key is missing.
std::uint64_t fieldOf(const char* path, const std::string& key, std::uint64_t scale) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const std::uint64_t value = std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return value * scale;
  }
  return 0;
}

// The first number in a file of one number ("max" reads as none); 0 when
// missing.
std::uint64_t numberIn(const char* path) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text) || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

// Room left under a cgroup limit; 0 when there is no limit or it cannot be
// read.
std::uint64_t cgroupRoom(const char* limitPath, const char* usagePath) {
  const std::uint64_t limit = numberIn(limitPath);
  if (limit == 0 || limit >= kNoLimit) return 0;
  const std::uint64_t usage = numberIn(usagePath);
  // A full cgroup still has a byte for the comparison, which then refuses.
  return usage < limit ? limit - usage : 1;
}

}  // namespace

std::uint64_t estimatedPeakBytes(Workload workload, const RunShape& shape) {
  const double canvas = (static_cast<double>(shape.width) + 2.0 * shape.kernelWidth) *
                        (static_cast<double>(shape.height) + 2.0 * shape.kernelHeight);
  const int inFlight = std::max(1, std::min(shape.threads, shape.planes));
  if (!deconvolvesInTiles(workload, shape)) {
    const double grid =
        workload == Workload::ClassicBlind ? kClassicBytesPerGridCell * classicGridCells(shape) : 0.0;
    return static_cast<std::uint64_t>(
        kFixedBytes + grid +
        canvas * bytesPerPixel(canvasBytes(workload, shape.robust), shape.planes, inFlight));
  }
  const TiledBytes bytes = tiledBytes(workload, shape.robust);
  const int reach = tileMargin(shape.kernelHeight, shape.kernelWidth) +
                    tileHalfBand(shape.kernelHeight, shape.kernelWidth);
  const double tileCanvas = tileCanvasSide(shape.width, shape.kernelWidth, reach) *
                            tileCanvasSide(shape.height, shape.kernelHeight, reach);
  return static_cast<std::uint64_t>(
      kFixedBytes + canvas * bytesPerPixel(bytes.canvas, shape.planes, inFlight) +
      tileCanvas * bytesPerPixel(bytes.tile, shape.planes, inFlight));
}

std::uint64_t availableMemoryBytes() {
  std::uint64_t available = 0;
  const auto consider = [&available](std::uint64_t bytes) {
    if (bytes > 0) available = available == 0 ? bytes : std::min(available, bytes);
  };
  consider(fieldOf("/proc/meminfo", "MemAvailable:", 1024));
  consider(cgroupRoom("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"));
  consider(cgroupRoom("/sys/fs/cgroup/memory/memory.limit_in_bytes",
                      "/sys/fs/cgroup/memory/memory.usage_in_bytes"));
  rlimit addressSpace{};
  if (getrlimit(RLIMIT_AS, &addressSpace) == 0 && addressSpace.rlim_cur != RLIM_INFINITY) {
    consider(addressSpace.rlim_cur);
  }
  return available;
}

bool parseMemorySize(const std::string& text, std::uint64_t& bytes) {
  // Plain decimals only: strtod alone would also take hexadecimal and
  // exponents.
  const std::size_t numberEnd = text.find_first_not_of("0123456789.");
  const std::string digits = text.substr(0, numberEnd);
  if (digits.empty() || digits.find('.') != digits.rfind('.')) return false;
  if (!std::isdigit(static_cast<unsigned char>(digits[0]))) return false;
  const double number = std::strtod(digits.c_str(), nullptr);
  std::string suffix = numberEnd == std::string::npos ? "" : text.substr(numberEnd);
  for (char& c : suffix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (suffix.size() >= 2 && suffix.back() == 'B') suffix.pop_back();
  if (suffix.size() == 2 && suffix.back() == 'I') suffix.pop_back();
  double scale = 1.0;
  if (suffix == "K") {
    scale = 1024.0;
  } else if (suffix == "M") {
    scale = static_cast<double>(kMiB);
  } else if (suffix == "G") {
    scale = 1024.0 * kMiB;
  } else if (suffix == "T") {
    scale = 1024.0 * 1024.0 * kMiB;
  } else if (!suffix.empty() && suffix != "B") {
    return false;
  }
  const double value = number * scale;
  if (value < kMiB || value > static_cast<double>(kLargestBudget)) return false;
  bytes = static_cast<std::uint64_t>(value);
  return true;
}

std::string memorySizeText(std::uint64_t bytes) {
  const char* units[] = {"MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes) / kMiB;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

bool takeMaxMemoryOption(std::vector<std::string>& words, MemoryBudget& budget,
                         std::string& error) {
  const std::string option = "--max-memory";
  bool missingValue = false;
  for (const std::string& value : takeOptionValues(words, option, missingValue)) {
    if (!parseMemorySize(value, budget.bytes)) {
      error = option + " '" + value + "' must be a size from 1M to 1024T, such as 512M or 4G";
      return false;
    }
    budget.given = true;
  }
  if (missingValue) {
    error = option + " needs a size, such as 512M or 4G";
    return false;
  }
  if (!budget.given) budget.bytes = availableMemoryBytes();
  return true;
}

bool fitsMemory(Workload workload, const RunShape& shape, const MemoryBudget& budget,
                std::string& reason) {
  if (budget.bytes == 0) return true;
  const std::uint64_t needed = estimatedPeakBytes(workload, shape);
  if (needed <= budget.bytes) return true;
  reason = std::to_string(shape.width) + "x" + std::to_string(shape.height) +
           " pixels would need about " + memorySizeText(needed) + " of memory, more than the " +
           memorySizeText(budget.bytes) +
           (budget.given ? " that --max-memory allows" : " available (see --max-memory)");
  return false;
}

void keepFreedMemoryForReuse() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  mallopt(M_TRIM_THRESHOLD, kKeptFreeTop);
  mallopt(M_TOP_PAD, kHeapGrowthPad);
#endif
}

}  // namespace kestrel
