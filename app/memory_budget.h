// How much memory a run will need, and how much the machine can give it,
// known before the picture's pixels are decoded, so that a picture too large
// for the machine is refused at once rather than after minutes of swapping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

enum class Workload { ClassicBlind, SparseBlind, Marlin, Osprey };

struct RunShape {
  int width = 0;
  int height = 0;
  int planes = 1;
  int kernelWidth = 1;
  int kernelHeight = 1;
  int threads = 1;
  // The blind commands' deconvolution robust to noise and outliers.
  bool robust = false;
};

// Peak resident bytes of a run on a picture of the given shape, from the
// bytes per pixel measured for each workload on photos of 1 to 12
// megapixels (within about 10 % there).
std::uint64_t estimatedPeakBytes(Workload workload, const RunShape& shape);

// The memory a run may use: the smallest of MemAvailable, the room left in
// the process's memory cgroup and its address-space limit; 0 when none of
// them can be read.
std::uint64_t availableMemoryBytes();

// A size in bytes with an optional suffix K, M, G or T (powers of 1024,
// either case, "B" or "iB" allowed after it): "800000000", "512M", "1.5G", "4GiB".
// False unless the text is such a size of at least 1 MiB and at most 1024 TiB.
bool parseMemorySize(const std::string& text, std::uint64_t& bytes);

// bytes in the largest unit that keeps a whole part: "950 MiB", "4.4 GiB".
std::string memorySizeText(std::uint64_t bytes);

// The memory a run may use: bytes, given by --max-memory or else
// availableMemoryBytes(); 0 when unknown, which refuses nothing.
struct MemoryBudget {
  std::uint64_t bytes = 0;
  bool given = false;
};

// Takes every "--max-memory SIZE" and "--max-memory=SIZE" out of words (the
// last one counts) into budget, which is otherwise what the machine has
// available. False, with error set, for a missing or malformed size.
bool takeMaxMemoryOption(std::vector<std::string>& words, MemoryBudget& budget,
                         std::string& error);

// Refuses, with reason set, a run whose estimated peak exceeds the budget:
// "4000x3000 pixels would need about 4.4 GiB of memory, more than the
// 2.0 GiB available (see --max-memory)".
bool fitsMemory(Workload workload, const RunShape& shape, const MemoryBudget& budget,
                std::string& reason);

// Keeps freed blocks of up to a few tens of MiB in the heap for the next
// allocation instead of handing them back to the system: the planes a run
// frees and allocates again by the hundred would otherwise come back as
// fresh pages, each zeroed by the system on first touch. Call once, before
// the first large allocation.
void keepFreedMemoryForReuse();

}  // namespace kestrel
