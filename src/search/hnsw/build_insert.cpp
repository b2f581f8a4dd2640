#include "search/hnsw/build_insert.h"

#include <algorithm>

#include <tbb/enumerable_thread_specific.h>

#include "search/distance.h"
#include "search/exact.h"
#include "search/hnsw/build_layer_search.h"
#include "search/pq/adc.h"

namespace tessello {
namespace {

struct InsertScratch {
    explicit InsertScratch(std::size_t nodes) : search(nodes) {}
    LayerSearchScratch search;
    std::vector<float> table;  // the inserted node's score table
    std::vector<float> scores;
    std::vector<BuildCandidate> w;
    std::vector<BuildCandidate> reranked;
    std::vector<std::uint32_t> chosen;
};

std::span<const float> vector_of(const BuildState& state, std::uint32_t node) {
    return {state.vectors[node], static_cast<std::size_t>(state.dimensions)};
}

// Best first, NaN last, equal scores in their given order: a stable sort.
// Lists of up to 128 entries (ef of the usual sizes) are sorted by insertion
// in place, which allocates nothing and is quick on lists that are mostly in
// order already; longer ones go to the library's stable sort, whose buffer is
// small beside the search that made them.
void sort_best_first(std::vector<BuildCandidate>& list, bool higher) {
    constexpr std::size_t kInsertionSortMax = 128;
    const auto before = [higher](const BuildCandidate& a, const BuildCandidate& b) {
        return score_ranks_before(a.score, b.score, higher);
    };
    if (list.size() > kInsertionSortMax) {
        std::stable_sort(list.begin(), list.end(), before);
        return;
    }
    for (std::size_t i = 1; i < list.size(); ++i) {
        const BuildCandidate c = list[i];
        std::size_t j = i;
        // Only past entries it strictly ranks before: equals keep their order.
        for (; j > 0 && before(c, list[j - 1]); --j) list[j] = list[j - 1];
        list[j] = c;
    }
}

// Moves cur down from the top layer to the layer just above `level`, on each
// layer to the best neighbour while one is strictly better.
std::uint32_t greedy_descent(const BuildState& state, std::uint32_t cur, std::uint8_t level, const AdcScorer& score,
                             InsertScratch& scratch) {
    const bool higher = higher_is_better(state.metric);
    for (std::uint32_t layer = state.max_level; layer > level; --layer) {
        float best = score(cur);
        for (;;) {
            const std::span<const std::uint32_t> neighbours = state.lists.read(layer, cur);
            score.many(neighbours, scratch.scores);
            bool moved = false;
            std::uint32_t candidate = cur;
            for (std::size_t i = 0; i < neighbours.size(); ++i) {
                if (score_ranks_before(scratch.scores[i], best, higher)) {
                    best = scratch.scores[i];
                    candidate = neighbours[i];
                    moved = true;
                }
            }
            if (!moved) break;
            cur = candidate;
        }
    }
    return cur;
}

void insert_node(BuildState& state, std::uint32_t e, InsertScratch& scratch) {
    // The entry point gets links of its own only when someone reached it first.
    if (e == state.entry_point && state.lists.empty(0, e)) return;

    const bool higher = higher_is_better(state.metric);
    const std::span<const float> query = vector_of(state, e);
    scratch.table.resize(state.codebook->num_subquantizers * state.codebook->num_centroids);
    build_adc_table(*state.codebook, state.transposed, query, scratch.table.data());
    const AdcScorer score{scratch.table, state.codes};
    const std::uint8_t level = state.levels[e];

    std::uint32_t cur = greedy_descent(state, state.entry_point, level, score, scratch);

    for (std::int32_t layer = level; layer >= 0; --layer) {
        const auto l = static_cast<std::uint32_t>(layer);
        std::vector<BuildCandidate>& w = scratch.w;
        layer_search(state.lists, l, cur, state.ef_construction, state.metric, score, state.distance_calcs,
                     scratch.search, w);
        sort_best_first(w, higher);

        // Final choice by exact distance.
        scratch.reranked.clear();
        for (const BuildCandidate& c : w) {
            if (c.node == e) continue;
            scratch.reranked.push_back({c.node, distance(state.metric, query, vector_of(state, c.node))});
        }
        sort_best_first(scratch.reranked, higher);

        const std::uint64_t cap = l == 0 ? state.m0 : state.m;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(cap, scratch.reranked.size()));
        scratch.chosen.clear();
        for (std::size_t i = 0; i < count; ++i) scratch.chosen.push_back(scratch.reranked[i].node);

        // Links that earlier insertions made back to e stay: dropping them
        // would leave those nodes with no way in, out of every search.
        state.lists.set_chosen(l, e, scratch.chosen);
        // Back-links are never pruned: a list may grow past m0 or m.
        for (const std::uint32_t neighbour : scratch.chosen) state.lists.add_link(l, neighbour, e);

        if (!w.empty()) cur = w.front().node;
    }
}

}  // namespace

void parallel_insert_batch(std::uint64_t start, std::uint64_t end, BuildState& state, WorkerPool& pool) {
    if (end <= start) return;
    // One scratch per worker thread of this batch; an insertion never waits
    // on the pool, so a thread runs one insertion at a time.
    tbb::enumerable_thread_specific<InsertScratch> scratch(state.lists.node_count());
    pool.parallel_for(end - start, [&](std::uint64_t i) {
        insert_node(state, static_cast<std::uint32_t>(start + i), scratch.local());
    });
}

}  // namespace tessello
