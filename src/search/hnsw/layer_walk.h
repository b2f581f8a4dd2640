#pragma once
// The best-first walk of one graph layer: the one loop behind the layer-0
// search of a query, the per-layer search of an incremental insert and the
// per-layer search of a parallel build.
//
// From the entry node the walk takes the best queued candidate out, lists its
// neighbours and scores each neighbour not visited before exactly once; a
// neighbour is queued when the result set accepts its score. The walk ends
// when the queue is empty or the result set does not accept the score of the
// candidate just taken out. What differs between the walks comes in as parts:
//
//   Links     node_count(): every node index is below it.
//             neighbours(node, buffer): the node's list on the layer, in
//             stored order: the stored list itself, a snapshot of it (a
//             build's lists change while it walks), or a copy into buffer.
//             prefetch(node): a hint that the node's list is wanted next.
//   Scorer    operator()(node), many(nodes, out) (out[i] = score of nodes[i];
//             the same values, possibly computed side by side), and
//             prefetch(node), a hint issued as a node is found.
//   Eligible  operator()(node): whether the node may enter the result; a node
//             that may not is walked through all the same.
//   Queue     which candidate comes out first (HeapQueue, LatestFirstQueue),
//             and top(), the one that would come out now.
//   Result    accepts(score), admit(node, score), and kAdmitOnFound: a node
//             enters the result when it is found and queued (graph search),
//             or when it is taken out of the queue to be expanded (insert and
//             build). Its admission and eviction rules and its order are its
//             own.
//
// A NaN score takes part like any other; how it compares is the business of
// the queue's order and of the result's accepts(). The walk is deterministic
// given its parts: the same graph, scores and parameters give the same result
// in the same order. It shares nothing but what its parts share; a scratch
// belongs to one thread at a time, and walks do not nest on it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/exact.h"
#include "search/hnsw/hnsw_graph.h"
#include "search/hnsw/visited_marks.h"

namespace tessello {

struct WalkCandidate {
    std::uint32_t node;
    float score;

    bool operator==(const WalkCandidate&) const = default;
};

// a is strictly better than b by a plain comparison, higher or lower as the
// direction says: false whenever a NaN takes part. (score_ranks_before is
// the total order of rankings, where a NaN comes after every number.)
template <bool Higher>
inline bool better_than(float a, float b) {
    if constexpr (Higher) {
        return a > b;
    } else {
        return a < b;
    }
}

// Heap orders, "a below b": b comes out before a. Both are strict weak
// orders, so a NaN cannot upset a heap; equal scores come out in the heap's
// own order, which depends only on the sequence of pushes and pops.
//
// Best first, a NaN after every number.
template <bool Higher>
struct BestFirstNaNLast {
    bool operator()(const WalkCandidate& a, const WalkCandidate& b) const {
        return score_ranks_before(b.score, a.score, Higher);
    }
};

// A NaN before every number, then best first: a deleted record's node scores
// NaN, and expanding it early keeps searches routing through it.
template <bool Higher>
struct NaNFirstThenBest {
    bool operator()(const WalkCandidate& a, const WalkCandidate& b) const {
        if (a.score != a.score) return false;
        if (b.score != b.score) return true;
        return better_than<Higher>(b.score, a.score);
    }
};

// A binary heap of candidates in storage that the caller keeps from walk to
// walk; constructing the queue empties the storage.
template <class Below>
class HeapQueue {
public:
    explicit HeapQueue(std::vector<WalkCandidate>& storage) : heap_(storage) { heap_.clear(); }

    void reserve(std::size_t n) { heap_.reserve(n); }
    bool empty() const { return heap_.empty(); }
    const WalkCandidate& top() const { return heap_.front(); }
    void push(std::uint32_t node, float score) {
        heap_.push_back(WalkCandidate{node, score});
        std::push_heap(heap_.begin(), heap_.end(), Below{});
    }
    WalkCandidate pop() {
        std::pop_heap(heap_.begin(), heap_.end(), Below{});
        const WalkCandidate c = heap_.back();
        heap_.pop_back();
        return c;
    }

private:
    std::vector<WalkCandidate>& heap_;
};

// A queued candidate with the number of its push, for an order that breaks
// ties by age.
struct SequencedCandidate {
    WalkCandidate candidate;
    std::uint32_t sequence;
};

// Best first, a NaN after every number, and among equal scores the candidate
// queued last comes out first. Storage as for HeapQueue.
template <bool Higher>
class LatestFirstQueue {
public:
    explicit LatestFirstQueue(std::vector<SequencedCandidate>& storage) : heap_(storage) { heap_.clear(); }

    bool empty() const { return heap_.empty(); }
    const WalkCandidate& top() const { return heap_.front().candidate; }
    void push(std::uint32_t node, float score) {
        heap_.push_back(SequencedCandidate{WalkCandidate{node, score}, next_++});
        std::push_heap(heap_.begin(), heap_.end(), Below{});
    }
    WalkCandidate pop() {
        std::pop_heap(heap_.begin(), heap_.end(), Below{});
        const WalkCandidate c = heap_.back().candidate;
        heap_.pop_back();
        return c;
    }

private:
    // A total order: a node is queued at most once per walk, so no two
    // entries share a sequence number. A type, so the heap inlines it.
    struct Below {
        bool operator()(const SequencedCandidate& a, const SequencedCandidate& b) const {
            if (score_ranks_before(b.candidate.score, a.candidate.score, Higher)) return true;
            if (score_ranks_before(a.candidate.score, b.candidate.score, Higher)) return false;
            return a.sequence < b.sequence;
        }
    };

    std::vector<SequencedCandidate>& heap_;
    std::uint32_t next_ = 0;
};

// What a thread keeps from walk to walk.
struct LayerWalkScratch {
    LayerWalkScratch() = default;
    explicit LayerWalkScratch(std::size_t nodes) : visited(nodes) {}

    VisitedMarks visited;
    NeighbourList neighbours;  // a list copied out by the links
    NeighbourList fresh;       // room for the neighbours not visited before
    std::vector<float> scores;  // their scores
    std::vector<WalkCandidate> heap;  // the storage of a HeapQueue
    std::vector<SequencedCandidate> sequenced;  // the storage of a LatestFirstQueue
};

// The scratch of the calling thread, for walks that bring none of their own
// (graph search and incremental insert). It lives as long as the thread; its
// visited marks grow to the largest graph the thread has walked.
LayerWalkScratch& thread_walk_scratch();

// Always true: every node may enter the result.
struct AnyNode {
    bool operator()(std::uint32_t) const { return true; }
};

// Walks the layer from `entry` (below links.node_count()). Returns the number
// of nodes scored: the entry and every neighbour found unvisited.
template <class Links, class Scorer, class Eligible, class Queue, class Result>
std::uint64_t walk_layer(std::uint32_t entry, const Links& links, const Scorer& score, const Eligible& eligible,
                         Queue& queue, Result& result, LayerWalkScratch& scratch) {
    scratch.visited.start(links.node_count());
    scratch.visited.insert(entry);
    const float first = score(entry);
    queue.push(entry, first);
    if constexpr (Result::kAdmitOnFound) {
        if (eligible(entry)) result.admit(entry, first);
    }
    std::uint64_t scored = 1;

    while (!queue.empty()) {
        const WalkCandidate c = queue.pop();
        if (!result.accepts(c.score)) break;
        if constexpr (!Result::kAdmitOnFound) {
            if (eligible(c.node)) result.admit(c.node, c.score);
        }

        // The candidate most likely expanded next: its list is fetched
        // while this one's neighbours are scored.
        if (!queue.empty()) links.prefetch(queue.top().node);

        const std::span<const std::uint32_t> list = links.neighbours(c.node, scratch.neighbours);
        // Room for the whole list first, so that collecting the unvisited
        // neighbours calls nothing that could move the buffers.
        if (scratch.fresh.size() < list.size()) scratch.fresh.resize(list.size());
        std::uint32_t* const room = scratch.fresh.data();
        std::size_t found = 0;
        for (const std::uint32_t x : list) {
            if (scratch.visited.insert(x)) {
                score.prefetch(x);
                room[found++] = x;
            }
        }
        const std::span<const std::uint32_t> fresh(room, found);
        scored += found;
        // Scores do not depend on the result, so the whole batch is scored
        // first; each is then judged against the result as it stands by then.
        score.many(fresh, scratch.scores);
        for (std::size_t i = 0; i < found; ++i) {
            const std::uint32_t x = fresh[i];
            const float s = scratch.scores[i];
            // A node refused here stays visited and is not considered again
            // in this walk.
            if (!result.accepts(s)) continue;
            queue.push(x, s);
            if constexpr (Result::kAdmitOnFound) {
                if (eligible(x)) result.admit(x, s);
            }
        }
    }
    return scored;
}

}  // namespace tessello
