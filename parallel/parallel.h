// Splitting independent work over the machine's cores.
//
// Work is cut into contiguous blocks of indices and every index is computed
// exactly as it would be alone, so results do not depend on the number of
// threads.
#pragma once

#include <functional>

namespace kestrel {

// Threads the numeric loops may use, at least 1. The default is the
// KESTREL_THREADS environment variable when it holds a positive whole
// number, else the number of cores.
int threadCount();
void setThreadCount(int count);
int defaultThreadCount();

// Calls block(first, last) on disjoint ranges covering [begin, end), on up to
// threadCount() threads, each range at least minimumBlock long (except when
// the whole is shorter). Returns when all are done. Calls from inside a block
// run on the calling thread. The worker threads are kept between calls and
// serve one loop at a time; a loop started while they serve another, from
// another thread, runs its ranges on its own thread. The ranges depend only
// on the arguments and threadCount(). block must not throw.
void parallelFor(int begin, int end, int minimumBlock,
                 const std::function<void(int first, int last)>& block);

}  // namespace kestrel
