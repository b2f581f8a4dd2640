#pragma once
// WorkerPool: a fixed-size group of threads (a oneTBB task arena) that the
// parallel parts of the system run on. WorkerPool::global() is the one
// process-wide pool, made on first use (thread-safe) and sized once by
// process_pool_size(). A caller hands work to the pool and blocks until it is
// done; many callers may do so at once, and pool threads may call back in.
//
// collect_in_order runs a per-item function over items 0..n-1 on the pool and
// returns the (score, index) pairs it emitted in item order: pair for pair the
// list collect_in_order_sequential gives, whatever the pool size or timing.
// The per-item function is called concurrently, so it must only read shared
// data; it must not throw.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "base/scored_index.h"

namespace tessello {

// A per-item scoring function: the score of item i, or nothing to skip it.
template <class F>
concept ItemScorer = requires(const F& f, std::uint64_t i) {
    { f(i) } -> std::convertible_to<std::optional<float>>;
};

// The pairs of items 0..n-1, scored one by one on the calling thread.
template <ItemScorer F>
std::vector<ScoredIndex> collect_in_order_sequential(std::uint64_t n, const F& per_item) {
    std::vector<ScoredIndex> out;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (const std::optional<float> score = per_item(i)) out.push_back({*score, i});
    }
    return out;
}

namespace detail {

// parallel_reduce body: each body scans ranges left to right and appends, and
// a join appends the right neighbour's pairs, so concatenation keeps item order.
template <class F>
class OrderedCollectBody {
public:
    explicit OrderedCollectBody(const F& per_item) : per_item_(&per_item) {}
    OrderedCollectBody(OrderedCollectBody& other, tbb::split) : per_item_(other.per_item_) {}

    void operator()(const tbb::blocked_range<std::uint64_t>& range) {
        for (std::uint64_t i = range.begin(); i != range.end(); ++i) {
            if (const std::optional<float> score = (*per_item_)(i)) pairs.push_back({*score, i});
        }
    }

    void join(OrderedCollectBody& right) {
        if (pairs.empty()) {
            pairs = std::move(right.pairs);
        } else {
            pairs.insert(pairs.end(), right.pairs.begin(), right.pairs.end());
        }
    }

    std::vector<ScoredIndex> pairs;

private:
    const F* per_item_;
};

}  // namespace detail

class WorkerPool {
public:
    // A pool of `threads` threads (clamped to 1..kMaxPoolThreads), the calling
    // thread counting as one while it waits. Tests make private pools; the
    // system uses global().
    explicit WorkerPool(std::size_t threads);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    static WorkerPool& global();

    std::size_t threads() const { return threads_; }

    // Runs f() inside the pool and returns when it has returned; oneTBB
    // algorithms called from f run on the pool's threads.
    template <class F>
    void execute(F&& f) {
        arena_.execute(std::forward<F>(f));
    }

    // Hands f to the pool as a task of group and returns at once; the calling
    // thread need not join the pool. wait(group) returns once every task of
    // the group is done (the caller helps while it waits).
    template <class F>
    void enqueue(tbb::task_group& group, F&& f) {
        arena_.enqueue(group.defer(std::forward<F>(f)));
    }
    void wait(tbb::task_group& group) {
        arena_.execute([&] { group.wait(); });
    }

    // Calls per_item(i) for every i in 0..n-1 on the pool, in no set order.
    template <class F>
    void parallel_for(std::uint64_t n, const F& per_item) {
        if (n == 0) return;
        arena_.execute([&] {
            tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, n),
                              [&](const tbb::blocked_range<std::uint64_t>& range) {
                                  for (std::uint64_t i = range.begin(); i != range.end(); ++i) {
                                      per_item(i);
                                  }
                              });
        });
    }

    // The pool's form of collect_in_order_sequential: items split recursively
    // by the pool's adaptive partitioning, down to single items.
    template <ItemScorer F>
    std::vector<ScoredIndex> collect_in_order(std::uint64_t n, const F& per_item) {
        if (n == 0) return {};
        detail::OrderedCollectBody<F> body(per_item);
        arena_.execute([&] {
            tbb::parallel_reduce(tbb::blocked_range<std::uint64_t>(0, n, 1), body);
        });
        return std::move(body.pairs);
    }

private:
    // Declared before the arena so it outlives it: lifts oneTBB's process-wide
    // thread limit when this pool asks for more threads than its default.
    std::optional<tbb::global_control> raised_limit_;
    tbb::task_arena arena_;
    std::size_t threads_;
};

}  // namespace tessello
