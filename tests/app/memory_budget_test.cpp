#include "app/memory_budget.h"

#include <gtest/gtest.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <string>
#include <vector>

namespace kestrel {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

TEST(MemorySize, ReadsDecimalsWithBinarySuffixes) {
  const std::vector<std::pair<std::string, std::uint64_t>> sizes = {
      {"1048576", kMiB},       {"1M", kMiB},         {"512m", 512 * kMiB},
      {"1.5G", 1536 * kMiB},   {"4GiB", 4096 * kMiB}, {"2gb", 2048 * kMiB},
      {"1024T", kMiB << 30},   {"2048K", 2 * kMiB},
  };
  for (const auto& [text, expected] : sizes) {
    std::uint64_t bytes = 0;
    EXPECT_TRUE(parseMemorySize(text, bytes)) << text;
    EXPECT_EQ(bytes, expected) << text;
  }
}

TEST(MemorySize, RefusesWhatIsNotASizeOrLiesOutsideItsRange) {
  for (const char* text : {"", "G", "-1G", "+1G", " 1G", "1G ", "0", "0.99M", "1023K", "1025T",
                           "0x10G", "1e3G", "1.2.3M", "4Q", "4iB", "4MiBB", "nanG", "infG"}) {
    std::uint64_t bytes = 7;
    EXPECT_FALSE(parseMemorySize(text, bytes)) << text;
    EXPECT_EQ(bytes, 7u) << text;
  }
}

TEST(MemorySize, TextKeepsTwoOrThreeFigures) {
  EXPECT_EQ(memorySizeText(kMiB / 2), "0.5 MiB");
  EXPECT_EQ(memorySizeText(950 * kMiB), "950 MiB");
  EXPECT_EQ(memorySizeText(1024 * kMiB), "1.0 GiB");
  EXPECT_EQ(memorySizeText(4506 * kMiB), "4.4 GiB");
  EXPECT_EQ(memorySizeText(kMiB << 30), "1.0 PiB");
}

TEST(PeakEstimate, GrowsWithThePictureThePlanesAndThePlanesInFlight) {
  RunShape grey{1000, 1000, 1, 31, 31, 1, false};
  RunShape colour = grey;
  colour.planes = 3;
  RunShape larger = colour;
  larger.width = 2000;
  for (Workload workload :
       {Workload::ClassicBlind, Workload::SparseBlind, Workload::Marlin, Workload::Osprey}) {
    EXPECT_LT(estimatedPeakBytes(workload, grey), estimatedPeakBytes(workload, colour));
    EXPECT_LT(estimatedPeakBytes(workload, colour), estimatedPeakBytes(workload, larger));
  }
  // The non-blind commands deconvolve one plane per thread, so threads beyond
  // the plane count change nothing.
  RunShape threaded = colour;
  threaded.threads = 3;
  EXPECT_LT(estimatedPeakBytes(Workload::Marlin, colour),
            estimatedPeakBytes(Workload::Marlin, threaded));
  const std::uint64_t threePlanes = estimatedPeakBytes(Workload::Osprey, threaded);
  threaded.threads = 64;
  EXPECT_EQ(estimatedPeakBytes(Workload::Osprey, threaded), threePlanes);
  RunShape robust = colour;
  robust.robust = true;
  EXPECT_LT(estimatedPeakBytes(Workload::ClassicBlind, colour),
            estimatedPeakBytes(Workload::ClassicBlind, robust));
}

// The classic estimator transforms on grids whose sides are prime powers, so
// one more row can widen its finest grid by a third and its need with it.
TEST(PeakEstimate, ClassicNeedFollowsItsFinestGrid) {
  const RunShape fits{1200, 994, 3, 31, 31, 2, false};  // rows + 30 = 1024
  RunShape widened = fits;
  widened.height = 995;
  const double classicStep =
      static_cast<double>(estimatedPeakBytes(Workload::ClassicBlind, widened)) /
      estimatedPeakBytes(Workload::ClassicBlind, fits);
  const double sparseStep =
      static_cast<double>(estimatedPeakBytes(Workload::SparseBlind, widened)) /
      estimatedPeakBytes(Workload::SparseBlind, fits);
  EXPECT_GT(classicStep, 1.1);
  EXPECT_LT(sparseStep, 1.01);
  // Measured with two threads on a 2-megapixel colour photo: 677 MiB.
  const RunShape twoMegapixels{1633, 1225, 3, 31, 31, 2, false};
  EXPECT_GT(estimatedPeakBytes(Workload::ClassicBlind, twoMegapixels), 610 * kMiB);
  EXPECT_LT(estimatedPeakBytes(Workload::ClassicBlind, twoMegapixels), 745 * kMiB);
}

// Above 4 megapixels the blind commands deconvolve tile by tile: the need
// still grows with the picture, but far more slowly than one whole canvas's.
TEST(PeakEstimate, TiledPicturesNeedTheMemoryOfOneTileForTheFinalStage) {
  const RunShape atLimit{2000, 2000, 3, 31, 31, 2, false};
  RunShape above = atLimit;
  above.width = 2001;
  RunShape twelve = atLimit;
  twelve.width = 4000;
  twelve.height = 3000;
  for (Workload workload : {Workload::ClassicBlind, Workload::SparseBlind}) {
    EXPECT_LT(estimatedPeakBytes(workload, above), estimatedPeakBytes(workload, atLimit));
    EXPECT_LT(estimatedPeakBytes(workload, above), estimatedPeakBytes(workload, twelve));
  }
  // Measured at 12 megapixels: 864 MiB for the sparse estimator, 3045 MiB
  // for the classic one.
  EXPECT_LT(estimatedPeakBytes(Workload::SparseBlind, twelve), 1024 * kMiB);
  EXPECT_GT(estimatedPeakBytes(Workload::SparseBlind, twelve), 700 * kMiB);
  EXPECT_LT(estimatedPeakBytes(Workload::ClassicBlind, twelve), 3400 * kMiB);
  EXPECT_GT(estimatedPeakBytes(Workload::ClassicBlind, twelve), 2700 * kMiB);
}

TEST(PeakEstimate, AnEnormousPictureNeedsFarMoreThanAnyBudgetAllows) {
  // 2^28 pixels, the most a picture may announce: no overflow, and tens of GiB.
  const RunShape bomb{16384, 16384, 3, 31, 31, 4, true};
  const std::uint64_t needed = estimatedPeakBytes(Workload::ClassicBlind, bomb);
  EXPECT_GT(needed, 32 * 1024 * kMiB);
  EXPECT_LT(needed, 1024 * 1024 * kMiB);
}

#if defined(__GLIBC__)
TEST(HeapReuse, APlaneOfAPhotoComesFromTheHeapNotFromAFreshMapping) {
  keepFreedMemoryForReuse();
  const std::size_t mappedBefore = mallinfo2().hblks;
  std::vector<double> plane(2'000'000, 1.0);
  EXPECT_EQ(mallinfo2().hblks, mappedBefore);
  EXPECT_EQ(plane.back(), 1.0);
}
#endif

TEST(MemoryBudget, RefusalNamesTheSizeTheNeedAndTheBudget) {
  const RunShape shape{4000, 3000, 3, 31, 31, 2, false};
  const std::uint64_t needed = estimatedPeakBytes(Workload::SparseBlind, shape);
  std::string reason;
  EXPECT_TRUE(fitsMemory(Workload::SparseBlind, shape, {needed, true}, reason));
  EXPECT_TRUE(fitsMemory(Workload::SparseBlind, shape, {0, false}, reason));
  EXPECT_EQ(reason, "");
  EXPECT_FALSE(fitsMemory(Workload::SparseBlind, shape, {needed - 1, true}, reason));
  EXPECT_EQ(reason, "4000x3000 pixels would need about " + memorySizeText(needed) +
                        " of memory, more than the " + memorySizeText(needed - 1) +
                        " that --max-memory allows");
  EXPECT_FALSE(fitsMemory(Workload::SparseBlind, shape, {kMiB, false}, reason));
  EXPECT_NE(reason.find("more than the 1.0 MiB available (see --max-memory)"), std::string::npos)
      << reason;
}

TEST(MemoryBudget, TheOptionIsTakenOutAndTheLastOneCounts) {
  std::vector<std::string> words = {"in.png", "--max-memory", "2G", "out.png",
                                    "--max-memory=3G"};
  MemoryBudget budget;
  std::string error;
  ASSERT_TRUE(takeMaxMemoryOption(words, budget, error)) << error;
  EXPECT_EQ(words, (std::vector<std::string>{"in.png", "out.png"}));
  EXPECT_TRUE(budget.given);
  EXPECT_EQ(budget.bytes, 3072 * kMiB);

  std::vector<std::string> absent = {"in.png"};
  MemoryBudget machine;
  ASSERT_TRUE(takeMaxMemoryOption(absent, machine, error));
  EXPECT_FALSE(machine.given);
  // Linux always tells what memory is available.
  EXPECT_GT(machine.bytes, 0u);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--max-memory", "0", "in.png"},
        std::vector<std::string>{"in.png", "--max-memory"}}) {
    std::vector<std::string> copy = bad;
    EXPECT_FALSE(takeMaxMemoryOption(copy, budget, error));
    EXPECT_EQ(error.rfind("--max-memory ", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace kestrel
