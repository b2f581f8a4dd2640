#include "search/hnsw/graph_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "search/distance.h"
#include "search/exact.h"

namespace tessello {

namespace {

float worst_score(Metric metric) {
    return higher_is_better(metric) ? -std::numeric_limits<float>::infinity()
                                    : std::numeric_limits<float>::infinity();
}

bool strictly_better(float a, float b, bool higher) { return higher ? a > b : a < b; }

// Layer 0 compares internal keys, lower always better: the score for L2, its
// negation for Cosine and Dot. Negating twice gives the score back exactly.
float to_key(float score, Metric metric) { return higher_is_better(metric) ? -score : score; }

struct Keyed {
    float key;
    std::uint32_t node;
};

// Heap orders for std::push_heap / pop_heap ("a below b" = b comes out
// first). Both are total, so a NaN key cannot break a heap: in the
// candidate heap a NaN comes out before any number (a deleted node is
// expanded early, so searches still route through it), in the result heap a
// NaN sits on top (it is the first pushed out).
bool candidate_below(const Keyed& a, const Keyed& b) {
    if (std::isnan(a.key)) return false;
    if (std::isnan(b.key)) return true;
    return a.key > b.key;
}

bool result_below(const Keyed& a, const Keyed& b) {
    if (std::isnan(b.key)) return !std::isnan(a.key);
    if (std::isnan(a.key)) return false;
    return a.key < b.key;
}

}  // namespace

float node_distance(const std::vector<HnswNode>& nodes, std::span<const float> query, std::uint32_t node,
                    const VectorStore& store, Metric metric) {
    const std::uint64_t slot = nodes[node].slot;
    if (slot >= store.slot_count()) return worst_score(metric);
    return distance(metric, query, store.slot_view(slot));
}

std::uint32_t greedy_search_layer(const HnswGraph& graph, std::span<const float> query, std::uint32_t entry,
                                  std::uint64_t layer, const VectorStore& store, Metric metric) {
    std::uint32_t current = entry;
    if (layer >= graph.layers.size()) return current;
    float best = node_distance(graph.nodes, query, current, store, metric);
    const auto& lists = graph.layers[layer];
    const bool higher = higher_is_better(metric);
    for (;;) {
        if (current >= lists.size()) return current;
        // The pass walks the whole list of the node it started from, even
        // after it has moved on.
        const NeighbourList& list = lists[current];
        bool moved = false;
        for (const std::uint32_t n : list) {
            const float s = node_distance(graph.nodes, query, n, store, metric);
            if (strictly_better(s, best, higher)) {
                current = n;
                best = s;
                moved = true;
            }
        }
        if (!moved) return current;
    }
}

std::vector<GraphCandidate> search_layer0(const HnswGraph& graph, std::span<const float> query, std::uint32_t entry,
                                          std::uint64_t ef, const std::unordered_set<std::uint64_t>& deleted,
                                          const VectorStore& store, Metric metric) {
    if (ef == 0) return {};
    // A node is hidden when its slot was deleted and the slot does not belong
    // to it now: a record that later reuses a freed slot gets a node of its
    // own, which the slot maps to, and must be found.
    auto is_deleted = [&](std::uint32_t node) {
        const std::uint64_t slot = graph.nodes[node].slot;
        if (!deleted.contains(slot)) return false;
        const auto owner = graph.slot_to_node.find(slot);
        return owner == graph.slot_to_node.end() || owner->second != node;
    };

    std::unordered_set<std::uint32_t> visited{entry};
    std::vector<Keyed> candidates;
    std::vector<Keyed> results;
    const Keyed first{to_key(node_distance(graph.nodes, query, entry, store, metric), metric), entry};
    candidates.push_back(first);
    if (!is_deleted(entry)) results.push_back(first);

    // With ef >= 1, "full" implies a top to compare with. The comparisons are
    // plain, so a NaN key neither ends the walk nor is refused.
    auto full_and_not_below_top = [&](float key) { return results.size() >= ef && key >= results.front().key; };
    const std::vector<NeighbourList>* layer0 = graph.layers.empty() ? nullptr : &graph.layers[0];

    while (!candidates.empty()) {
        std::pop_heap(candidates.begin(), candidates.end(), candidate_below);
        const Keyed c = candidates.back();
        candidates.pop_back();
        if (full_and_not_below_top(c.key)) break;
        if (!layer0 || c.node >= layer0->size()) continue;
        for (const std::uint32_t n : (*layer0)[c.node]) {
            if (!visited.insert(n).second) continue;
            const float key = to_key(node_distance(graph.nodes, query, n, store, metric), metric);
            if (full_and_not_below_top(key)) continue;
            candidates.push_back(Keyed{key, n});
            std::push_heap(candidates.begin(), candidates.end(), candidate_below);
            if (is_deleted(n)) continue;
            results.push_back(Keyed{key, n});
            std::push_heap(results.begin(), results.end(), result_below);
            if (results.size() > ef) {
                std::pop_heap(results.begin(), results.end(), result_below);
                results.pop_back();
            }
        }
    }

    std::vector<GraphCandidate> out;
    out.reserve(results.size());
    for (const Keyed& r : results) out.push_back(GraphCandidate{r.node, to_key(r.key, metric)});
    const bool higher = higher_is_better(metric);
    std::stable_sort(out.begin(), out.end(), [higher](const GraphCandidate& a, const GraphCandidate& b) {
        return score_ranks_before(a.score, b.score, higher);
    });
    return out;
}

std::vector<GraphFind> graph_candidates(HnswIndex& index, std::span<const float> query, std::uint64_t wanted,
                                        const VectorStore& store) {
    std::vector<GraphFind> found;
    std::shared_lock graph_lock(index.graph_lock);
    std::shared_lock deleted_lock(index.deleted_lock);
    const HnswGraph& graph = index.graph;
    if (wanted != 0 && graph.entry_point) {
        const std::uint64_t ef = std::max(graph.config.ef_search, wanted);
        std::uint32_t current = *graph.entry_point;
        for (std::uint64_t layer = graph.max_level; layer >= 1; --layer)
            current = greedy_search_layer(graph, query, current, layer, store, index.metric);
        const auto best = search_layer0(graph, query, current, ef, index.deleted_slots, store, index.metric);
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(best.size(), wanted));
        found.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const HnswNode& node = graph.nodes[best[i].node];
            found.push_back(GraphFind{node.id, node.slot, best[i].score});
        }
    }
    deleted_lock.unlock();
    graph_lock.unlock();
    return found;
}

}  // namespace tessello
