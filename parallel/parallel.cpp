#include "parallel/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

std::atomic<int> configuredThreads{0};

int environmentThreads() {
  const char* text = std::getenv("KESTREL_THREADS");
  if (text == nullptr) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > kMaxThreads) return 0;
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

void setThreadCount(int count) { configuredThreads.store(std::clamp(count, 1, kMaxThreads)); }

namespace {

// Threads kept waiting between parallel loops: starting threads anew for
// every loop cost more than many of the loops themselves. Every loop puts
// its blocks on one shared list; idle workers take blocks from the oldest
// loop, and a thread that starts a loop runs its own blocks and, while the
// last of them finish elsewhere, helps with whatever other blocks are
// waiting. A loop started inside a block therefore spreads over the threads
// that are free instead of running on one. When none is free, its blocks
// run one after another on the thread that started it, which saves the
// hand-over: the blocks, and so the results, are the same either way.
class WorkerPool {
 public:
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // True when fewer than threads threads are running blocks.
  bool hasIdleThread(int threads) const { return running_.load() < threads; }

  // Runs blocks(b) for every b in [0, count) with up to threads threads in
  // all, the caller among them.
  void run(int count, int threads, const std::function<void(int block)>& blocks) {
    Loop loop{&blocks, count, 0, count};
    std::unique_lock<std::mutex> guard(lock_);
    workersAllowed_ = threads - 1;
    while (static_cast<int>(workers_.size()) < workersAllowed_) {
      const int index = static_cast<int>(workers_.size());
      workers_.emplace_back([this, index] { work(index); });
    }
    open_.push_back(&loop);
    wake_.notify_all();
    finished_.notify_all();
    while (loop.unfinished > 0) {
      Loop* chosen = loop.next < loop.count ? &loop : (open_.empty() ? nullptr : open_.front());
      if (chosen == nullptr) {
        finished_.wait(guard);
        continue;
      }
      runBlock(*chosen, guard);
    }
  }

 private:
  struct Loop {
    const std::function<void(int)>* blocks;
    int count;
    int next;        // the first block not yet taken
    int unfinished;  // blocks not yet done
  };

  // Takes the next block of loop and runs it with the lock released; called
  // and returns with guard holding the lock.
  void runBlock(Loop& loop, std::unique_lock<std::mutex>& guard) {
    const int block = loop.next++;
    if (loop.next == loop.count) open_.erase(std::find(open_.begin(), open_.end(), &loop));
    guard.unlock();
    ++running_;
    (*loop.blocks)(block);
    --running_;
    guard.lock();
    if (--loop.unfinished == 0) finished_.notify_all();
  }

  void work(int index) {
    std::unique_lock<std::mutex> guard(lock_);
    while (true) {
      wake_.wait(guard, [&] { return stopping_ || (index < workersAllowed_ && !open_.empty()); });
      if (stopping_) return;
      runBlock(*open_.front(), guard);
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;      // blocks to take, or the pool closing
  std::condition_variable finished_;  // a loop's last block done, or a loop opened
  std::vector<std::thread> workers_;
  std::vector<Loop*> open_;  // loops with blocks not yet taken, oldest first
  int workersAllowed_ = 0;
  bool stopping_ = false;
  std::atomic<int> running_{0};  // threads inside a block
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
  const int threads = threadCount();
  const int byGrain = length / std::max(1, minimumBlock);
  const int blocks = std::max(1, std::min(threads, byGrain));
  const auto range = [&](int b) {
    const int first = begin + static_cast<int>(static_cast<long long>(length) * b / blocks);
    const int last = begin + static_cast<int>(static_cast<long long>(length) * (b + 1) / blocks);
    block(first, last);
  };
  WorkerPool& pool = workerPool();
  if (blocks == 1 || !pool.hasIdleThread(threads)) {
    for (int b = 0; b < blocks; ++b) range(b);
    return;
  }
  pool.run(blocks, threads, range);
}

}  // namespace kestrel
