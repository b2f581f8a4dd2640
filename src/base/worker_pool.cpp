#include "base/worker_pool.h"

#include <algorithm>

#include <tbb/info.h>

#include "base/pool_size.h"

namespace tessello {
namespace {

std::size_t clamp_threads(std::size_t threads) {
    return std::clamp<std::size_t>(threads, 1, kMaxPoolThreads);
}

}  // namespace

WorkerPool::WorkerPool(std::size_t threads) : threads_(clamp_threads(threads)) {
    const int default_threads = tbb::info::default_concurrency();
    if (default_threads < 1 || threads_ > static_cast<std::size_t>(default_threads)) {
        raised_limit_.emplace(tbb::global_control::max_allowed_parallelism, threads_);
    }
    arena_.initialize(static_cast<int>(threads_));
}

WorkerPool& WorkerPool::global() {
    static WorkerPool pool(process_pool_size());
    return pool;
}

}  // namespace tessello
