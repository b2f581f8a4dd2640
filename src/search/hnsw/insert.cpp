#include "search/hnsw/insert.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

#include "search/distance.h"
#include "search/exact.h"
#include "search/hnsw/level.h"

namespace tessello {

namespace {

// Orders for the stable sorts: best first / worst first, a NaN ranking below
// every number (score_ranks_before is total, so NaN cannot upset a sort).
auto best_first(bool higher) {
    return [higher](const GraphCandidate& a, const GraphCandidate& b) {
        return score_ranks_before(a.score, b.score, higher);
    };
}

auto worst_first(bool higher) {
    return [higher](const GraphCandidate& a, const GraphCandidate& b) {
        return score_ranks_before(b.score, a.score, higher);
    };
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
    const bool higher = higher_is_better(metric);
    const float first = node_distance(graph.nodes, query, entry, store, metric);
    std::unordered_set<std::uint32_t> visited{entry};
    std::vector<GraphCandidate> candidates{GraphCandidate{entry, first}};  // worst first: best at the back
    std::vector<GraphCandidate> results;
    float worst = first;  // consulted only once the results are full
    auto admits = [&](float score) { return results.size() < ef || score_ranks_before(score, worst, higher); };
    const std::vector<NeighbourList>* lists = layer < graph.layers.size() ? &graph.layers[layer] : nullptr;

    while (!candidates.empty()) {
        const GraphCandidate c = candidates.back();
        candidates.pop_back();
        // The candidates are in order, so once the best left is refused so
        // would every other be.
        if (!admits(c.score)) break;
        results.push_back(c);
        if (results.size() >= ef) {
            std::stable_sort(results.begin(), results.end(), best_first(higher));
            results.resize(static_cast<std::size_t>(ef));
            worst = results.back().score;
        }
        if (!lists || c.node >= lists->size()) continue;
        for (const std::uint32_t n : (*lists)[c.node]) {
            if (!visited.insert(n).second) continue;
            const float score = node_distance(graph.nodes, query, n, store, metric);
            if (admits(score)) candidates.push_back(GraphCandidate{n, score});
        }
        std::stable_sort(candidates.begin(), candidates.end(), worst_first(higher));
    }
    std::stable_sort(results.begin(), results.end(), best_first(higher));
    return results;
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
