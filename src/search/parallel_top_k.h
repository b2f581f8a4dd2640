#pragma once
// The best k of a scan, computed on the worker pool without materialising a
// pair per item: each piece of the item range keeps its own TopK, and joining
// a piece with the one to its right offers the right one's pairs to the left
// one in their order. Since the right piece's items all come later, this is
// exactly the TopK that pushing every pair of the sequential scan in item
// order would give, ties and NaN placement included.
#include <cstdint>
#include <optional>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "base/worker_pool.h"
#include "search/top_k.h"

namespace tessello {

namespace detail {

template <class F>
class TopKBody {
public:
    TopKBody(const F& per_item, std::uint64_t k, bool higher, std::uint64_t room)
        : per_item_(&per_item), room_(room), top(k, higher, room) {}
    TopKBody(TopKBody& other, tbb::split)
        : per_item_(other.per_item_), room_(other.room_), top(other.top.k(), other.top.higher_is_better(), other.room_) {}

    void operator()(const tbb::blocked_range<std::uint64_t>& range) {
        for (std::uint64_t i = range.begin(); i != range.end(); ++i)
            if (const std::optional<float> score = (*per_item_)(i)) topk_push(top, i, *score);
    }

    void join(TopKBody& right) {
        for (const ScoredIndex& p : right.top.entries()) topk_push(top, p.index, p.score);
    }

private:
    const F* per_item_;
    std::uint64_t room_;

public:
    TopK top;
};

}  // namespace detail

// The entries of a TopK(k, higher) fed every pair of items 0..n-1 in order.
template <ItemScorer F>
std::vector<ScoredIndex> parallel_top_k(WorkerPool& pool, std::uint64_t n, const F& per_item, std::uint64_t k,
                                        bool higher) {
    const std::uint64_t room = std::min<std::uint64_t>(k, n) + 1;
    detail::TopKBody<F> body(per_item, k, higher, room);
    if (n > 0) pool.execute([&] { tbb::parallel_reduce(tbb::blocked_range<std::uint64_t>(0, n, 1), body); });
    return std::move(body.top).take_entries();
}

}  // namespace tessello
