#include "parallel/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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

namespace {

// Threads kept waiting between parallel loops: starting threads anew for
// every loop cost more than many of the loops themselves. One loop runs at
// a time; block b of a loop goes to worker b - 1 and the last block to the
// calling thread.
class WorkerPool {
 public:
  ~WorkerPool() { resize(0); }

  // Runs blocks(b) for b in [0, count) on count - 1 workers and the caller;
  // false when another loop holds the pool, and nothing has run.
  bool run(int count, const std::function<void(int block)>& blocks) {
    std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
    if (!busy.owns_lock()) return false;
    if (static_cast<int>(workers_.size()) < count - 1) resize(count - 1);
    {
      std::lock_guard<std::mutex> guard(lock_);
      job_ = &blocks;
      blocks_ = count;
      pending_ = count - 1;
      ++generation_;
    }
    wake_.notify_all();
    insideBlock = true;
    blocks(count - 1);
    insideBlock = false;
    std::unique_lock<std::mutex> guard(lock_);
    done_.wait(guard, [this] { return pending_ == 0; });
    job_ = nullptr;
    return true;
  }

 private:
  void resize(int count) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    std::uint64_t start = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = false;
      // Workers start from the current generation, so that a loop published
      // before a worker gets to run is still seen as new.
      start = generation_;
    }
    for (int index = 0; index < count; ++index) {
      workers_.emplace_back([this, index, start] { work(index, start); });
    }
  }

  void work(int index, std::uint64_t seen) {
    insideBlock = true;
    std::unique_lock<std::mutex> guard(lock_);
    while (true) {
      wake_.wait(guard, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      if (index >= blocks_ - 1) continue;
      const std::function<void(int)>* job = job_;
      guard.unlock();
      (*job)(index);
      guard.lock();
      if (--pending_ == 0) done_.notify_one();
    }
  }

  std::mutex busy_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  const std::function<void(int)>* job_ = nullptr;
  int blocks_ = 0;
  int pending_ = 0;
  std::uint64_t generation_ = 0;
  bool stopping_ = false;
};

WorkerPool& workerPool() {
  static WorkerPool pool;
  return pool;
}

}  // namespace

void parallelFor(int begin, int end, int minimumBlock,
                 const std::function<void(int first, int last)>& block) {
  const int length = end - begin;
  if (length <= 0) return;
  const int byGrain = length / std::max(1, minimumBlock);
  const int blocks = insideBlock ? 1 : std::max(1, std::min(threadCount(), byGrain));
  const auto range = [&](int b) {
    const int first = begin + static_cast<int>(static_cast<long long>(length) * b / blocks);
    const int last = begin + static_cast<int>(static_cast<long long>(length) * (b + 1) / blocks);
    block(first, last);
  };
  if (blocks == 1 || !workerPool().run(blocks, range)) {
    // One block, or the pool busy with a loop of another thread: the blocks
    // run here, one after another, each exactly as a worker would run it.
    for (int b = 0; b < blocks; ++b) range(b);
  }
}

}  // namespace kestrel
