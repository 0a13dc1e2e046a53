#include "fourier/parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

std::atomic<int> configuredThreads{0};
thread_local bool insideBlock = false;

int environmentThreads() {
  const char* text = std::getenv("KESTREL_THREADS");
  if (text == nullptr) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 1024) return 0;
  return static_cast<int>(value);
}

}  // namespace

int defaultThreadCount() {
  const int fromEnvironment = environmentThreads();
  if (fromEnvironment > 0) return fromEnvironment;
  return std::max(1u, std::thread::hardware_concurrency());
}

int threadCount() {
  const int configured = configuredThreads.load();
  return configured > 0 ? configured : defaultThreadCount();
}

void setThreadCount(int count) { configuredThreads.store(std::max(1, count)); }

void parallelFor(int begin, int end, int minimumBlock,
                 const std::function<void(int first, int last)>& block) {
  const int length = end - begin;
  if (length <= 0) return;
  const int byGrain = length / std::max(1, minimumBlock);
  const int blocks = insideBlock ? 1 : std::max(1, std::min(threadCount(), byGrain));
  if (blocks == 1) {
    block(begin, end);
    return;
  }
  const auto run = [&block](int first, int last) {
    insideBlock = true;
    block(first, last);
    insideBlock = false;
  };
  std::vector<std::thread> workers;
  workers.reserve(blocks - 1);
  int first = begin;
  for (int b = 0; b < blocks; ++b) {
    const int last = begin + static_cast<int>(static_cast<long long>(length) * (b + 1) / blocks);
    if (b + 1 < blocks) {
      workers.emplace_back(run, first, last);
    } else {
      run(first, last);
    }
    first = last;
  }
  for (std::thread& worker : workers) worker.join();
}

}  // namespace kestrel
