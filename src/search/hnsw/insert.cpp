#include "search/hnsw/insert.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "search/distance.h"
#include "search/exact.h"
#include "search/hnsw/exact_layer_walk.h"
#include "search/hnsw/layer_walk.h"
#include "search/hnsw/level.h"

namespace tessello {

namespace {

// Order for the stable sort of pruning: best first, a NaN ranking below
// every number (score_ranks_before is total, so NaN cannot upset a sort).
auto best_first(bool higher) {
    return [higher](const GraphCandidate& a, const GraphCandidate& b) {
        return score_ranks_before(a.score, b.score, higher);
    };
}

// W of the per-layer search: best first, equal scores in the order they
// were admitted; a node enters when it is taken out to be expanded. Once W
// holds ef entries a score must rank strictly before W's last one (a NaN
// never does, any number does before a NaN), and a newcomer then pushes the
// last one out. With ef = 0 nothing is accepted, not even the entry.
template <bool Higher>
class InsertResult {
public:
    static constexpr bool kAdmitOnFound = false;

    // Room for ef + 1 entries, but never more than the graph can offer.
    InsertResult(std::uint64_t ef, std::size_t nodes) : ef_(ef) {
        kept_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ef, nodes)) + 1);
    }

    bool accepts(float score) const {
        if (kept_.size() < ef_) return true;
        return !kept_.empty() && score_ranks_before(score, kept_.back().score, Higher);
    }
    void admit(std::uint32_t node, float score) {
        // After every entry it does not rank before: the admission order
        // among equals.
        const auto at = std::upper_bound(kept_.begin(), kept_.end(), score, [](float s, const GraphCandidate& k) {
            return score_ranks_before(s, k.score, Higher);
        });
        kept_.insert(at, GraphCandidate{node, score});
        if (kept_.size() > ef_) kept_.pop_back();
    }
    std::vector<GraphCandidate> take() { return std::move(kept_); }

private:
    std::uint64_t ef_;
    std::vector<GraphCandidate> kept_;
};

// Candidates come out best first, a NaN last; among equal scores the one
// found last comes out first.
template <bool Higher>
std::vector<GraphCandidate> walk_for_insert(const HnswGraph& graph, std::span<const float> query, std::uint32_t entry,
                                            std::uint64_t layer, std::uint64_t ef, const VectorStore& store,
                                            Metric metric) {
    LayerWalkScratch& scratch = thread_walk_scratch();
    LatestFirstQueue<Higher> queue(scratch.sequenced);
    InsertResult<Higher> result(ef, graph.nodes.size());
    (void)walk_layer(entry, StoredLayerLinks(graph, layer), ExactScorer(graph, query, store, metric), AnyNode{},
                     queue, result, scratch);
    return result.take();
}

// Links one new node into the graph; the caller holds the graph exclusively.
void insert_one(HnswGraph& graph, const LiveEntry& entry, std::uint64_t ef, const VectorStore& store,
                Metric metric) {
    const std::uint8_t level = draw_level(entry.slot, graph.config.level_multiplier);
    if (!graph.entry_point) {
        add_node(graph, entry.slot, entry.id, level);
        return;
    }
    const std::uint32_t old_entry = *graph.entry_point;
    const std::uint32_t fresh = add_node(graph, entry.slot, entry.id, level);
    if (entry.slot >= store.slot_count()) return;  // no vector to place it by
    const std::span<const float> query = store.slot_view(entry.slot);

    std::uint32_t current = old_entry;
    for (std::uint64_t layer = graph.max_level; layer > level; --layer)
        current = greedy_search_layer(graph, query, current, layer, store, metric);

    for (std::uint64_t layer = level + 1; layer-- > 0;) {
        const auto found = search_layer_for_insert(graph, query, current, layer, ef, store, metric);
        const std::uint64_t wanted = layer == 0 ? graph.config.m0 : graph.config.m;
        NeighbourList chosen;
        for (const GraphCandidate& c : found) {
            if (chosen.size() >= wanted) break;
            if (c.node != fresh) chosen.push_back(c.node);
        }
        graph.layers[layer][fresh] = chosen;

        const std::uint64_t cap = layer == 0 ? graph.config.m0 : graph.config.max_m;
        for (const std::uint32_t n : chosen) {
            NeighbourList& back = graph.layers[layer][n];
            if (std::find(back.begin(), back.end(), fresh) == back.end()) back.push_back(fresh);
            // Checked even when the link was already there, so a list left
            // over its cap by a bulk build is cut once its owner is chosen.
            if (back.size() > cap) prune_neighbours(graph, n, layer, cap, store, metric);
        }
        if (!found.empty()) current = found.front().node;
    }
}

}  // namespace

std::optional<LiveEntry> next_unindexed(std::span<const LiveEntry> entries, std::size_t& position,
                                        const HnswGraph& graph) {
    while (position < entries.size()) {
        const LiveEntry& e = entries[position++];
        if (!graph.slot_to_node.contains(e.slot)) return e;
    }
    return std::nullopt;
}

std::vector<GraphCandidate> search_layer_for_insert(const HnswGraph& graph, std::span<const float> query,
                                                    std::uint32_t entry, std::uint64_t layer, std::uint64_t ef,
                                                    const VectorStore& store, Metric metric) {
    return higher_is_better(metric) ? walk_for_insert<true>(graph, query, entry, layer, ef, store, metric)
                                    : walk_for_insert<false>(graph, query, entry, layer, ef, store, metric);
}

void prune_neighbours(HnswGraph& graph, std::uint32_t node, std::uint64_t layer, std::uint64_t cap,
                      const VectorStore& store, Metric metric) {
    NeighbourList& list = graph.layers[layer][node];
    if (list.size() <= cap) return;
    const std::uint64_t own = graph.nodes[node].slot;
    if (own >= store.slot_count()) {
        list.resize(static_cast<std::size_t>(cap));
        return;
    }
    const std::span<const float> own_vector = store.slot_view(own);
    std::vector<GraphCandidate> scored;
    scored.reserve(list.size());
    for (const std::uint32_t e : list) {
        const std::uint64_t slot = graph.nodes[e].slot;
        if (slot >= store.slot_count()) continue;
        scored.push_back(GraphCandidate{e, distance(metric, own_vector, store.slot_view(slot))});
    }
    std::stable_sort(scored.begin(), scored.end(), best_first(higher_is_better(metric)));
    if (scored.size() > cap) scored.resize(static_cast<std::size_t>(cap));
    list.clear();
    for (const GraphCandidate& s : scored) list.push_back(s.node);
}

void insert_nodes(HnswIndex& index, const std::vector<LiveEntry>& entries, const VectorStore& store) {
    std::vector<LiveEntry> todo;
    {
        std::shared_lock lock(index.graph_lock);
        std::size_t position = 0;
        while (auto e = next_unindexed(entries, position, index.graph)) todo.push_back(std::move(*e));
    }
    if (todo.empty()) return;
    std::uint64_t ef;
    {
        std::shared_lock lock(index.graph_lock);
        ef = std::min(index.graph.config.ef_construction, kInsertEfCap);
    }
    std::unique_lock lock(index.graph_lock);
    for (const LiveEntry& e : todo) insert_one(index.graph, e, ef, store, index.metric);
}

}  // namespace tessello
