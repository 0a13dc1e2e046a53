// Splitting independent work over the machine's cores.
//
// Work is cut into contiguous blocks of indices and every index is computed
// exactly as it would be alone, so results do not depend on the number of
// threads.
#pragma once

#include <functional>

namespace kestrel {

// Most threads a run may be given, by --threads or KESTREL_THREADS.
constexpr int kMaxThreads = 256;

// Threads the numeric loops may use, at least 1. The default is the
// KESTREL_THREADS environment variable when it holds a whole number from 1
// to kMaxThreads, else the number of cores.
int threadCount();
void setThreadCount(int count);
int defaultThreadCount();

// Calls block(first, last) on disjoint ranges covering [begin, end), on up to
// threadCount() threads, each range at least minimumBlock long (except when
// the whole is shorter). Returns when all are done. The worker threads are
// kept between calls and shared by every loop under way, so a loop started
// inside a block (or from another thread) uses the threads that are free;
// no more than threadCount() threads run blocks at once. The ranges depend
// only on the arguments and threadCount(). block must not throw.
void parallelFor(int begin, int end, int minimumBlock,
                 const std::function<void(int first, int last)>& block);

}  // namespace kestrel
