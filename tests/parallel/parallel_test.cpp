#include "parallel/parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

std::vector<std::pair<int, int>> blocksOf(int begin, int end, int minimumBlock) {
  std::mutex lock;
  std::vector<std::pair<int, int>> blocks;
  parallelFor(begin, end, minimumBlock, [&](int first, int last) {
    std::lock_guard<std::mutex> guard(lock);
    blocks.emplace_back(first, last);
  });
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

TEST(ParallelFor, CoversEveryIndexExactlyOnceForAnyThreadCount) {
  for (int threads : {1, 2, 3, 8}) {
    setThreadCount(threads);
    for (int length : {0, 1, 2, 7, 100, 1001}) {
      std::vector<std::atomic<int>> visits(length);
      parallelFor(5, 5 + length, 1, [&](int first, int last) {
        for (int i = first; i < last; ++i) ++visits[i - 5];
      });
      for (int i = 0; i < length; ++i) ASSERT_EQ(visits[i].load(), 1) << threads << " " << i;
    }
  }
}

TEST(ParallelFor, UsesAtMostTheThreadCountAndKeepsBlocksAboveTheMinimum) {
  setThreadCount(4);
  const auto blocks = blocksOf(0, 1000, 1);
  EXPECT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks.front().first, 0);
  EXPECT_EQ(blocks.back().second, 1000);
  for (size_t i = 1; i < blocks.size(); ++i) EXPECT_EQ(blocks[i].first, blocks[i - 1].second);
  EXPECT_EQ(blocksOf(0, 1000, 400).size(), 2u);
  EXPECT_EQ(blocksOf(0, 10, 100).size(), 1u);
  setThreadCount(1);
  EXPECT_EQ(blocksOf(0, 1000, 1).size(), 1u);
}

TEST(ParallelFor, NestedLoopsSplitLikeOuterOnesAndCoverTheirIndices) {
  setThreadCount(4);
  constexpr int kOuter = 2, kInner = 1000;
  std::vector<std::atomic<int>> visits(kOuter * kInner);
  std::atomic<int> innerBlocks{0};
  parallelFor(0, kOuter, 1, [&](int first, int last) {
    for (int o = first; o < last; ++o) {
      parallelFor(0, kInner, 1, [&](int from, int to) {
        ++innerBlocks;
        for (int i = from; i < to; ++i) ++visits[o * kInner + i];
      });
    }
  });
  EXPECT_EQ(innerBlocks.load(), kOuter * 4);
  for (const auto& v : visits) ASSERT_EQ(v.load(), 1);
}

// Two outer blocks on four threads: the idle threads join the inner loops.
// Each inner block waits (10 s at most) until three run at once, which only
// a third thread joining can bring about.
TEST(ParallelFor, IdleThreadsJoinTheLoopsOfBusyOnes) {
  setThreadCount(4);
  std::mutex lock;
  std::condition_variable changed;
  int running = 0;
  int mostRunning = 0;
  parallelFor(0, 2, 1, [&](int, int) {
    parallelFor(0, 4, 1, [&](int, int) {
      std::unique_lock<std::mutex> guard(lock);
      mostRunning = std::max(mostRunning, ++running);
      changed.notify_all();
      changed.wait_for(guard, std::chrono::seconds(10), [&] { return mostRunning >= 3; });
      --running;
    });
  });
  EXPECT_GE(mostRunning, 3);
  EXPECT_LE(mostRunning, 4);
}

// Loops started from several threads at once (the workers serve one loop at
// a time) each cover their own indices exactly once.
TEST(ParallelFor, LoopsStartedFromSeveralThreadsAtOnceEachCoverTheirIndices) {
  setThreadCount(3);
  constexpr int kCallers = 4, kLength = 5000, kRounds = 50;
  std::vector<std::vector<std::atomic<int>>> visits(kCallers);
  for (auto& v : visits) v = std::vector<std::atomic<int>>(kLength);
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&visits, c] {
      for (int round = 0; round < kRounds; ++round) {
        parallelFor(0, kLength, 1, [&](int first, int last) {
          for (int i = first; i < last; ++i) ++visits[c][i];
        });
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  setThreadCount(defaultThreadCount());
  for (int c = 0; c < kCallers; ++c) {
    for (int i = 0; i < kLength; ++i) ASSERT_EQ(visits[c][i].load(), kRounds) << c << " " << i;
  }
}

TEST(ThreadCount, ComesFromTheEnvironmentWhenItHoldsAPositiveNumber) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  setenv("KESTREL_THREADS", "3", 1);
  EXPECT_EQ(defaultThreadCount(), 3);
  for (const char* bad : {"0", "-2", "two", "", "3x", "257"}) {
    setenv("KESTREL_THREADS", bad, 1);
    EXPECT_EQ(defaultThreadCount(), cores) << bad;
  }
  unsetenv("KESTREL_THREADS");
  setThreadCount(0);
  EXPECT_GE(threadCount(), 1);
}

}  // namespace
}  // namespace kestrel
