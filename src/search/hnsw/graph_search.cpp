#include "search/hnsw/graph_search.h"

#include <algorithm>
#include <limits>
#include <shared_mutex>
#include <string>

#include "search/distance.h"
#include "search/exact.h"
#include "search/hnsw/exact_layer_walk.h"
#include "search/hnsw/layer_walk.h"

namespace tessello {

namespace {

float worst_score(Metric metric) {
    return higher_is_better(metric) ? -std::numeric_limits<float>::infinity()
                                    : std::numeric_limits<float>::infinity();
}

bool strictly_better(float a, float b, bool higher) { return higher ? a > b : a < b; }

// The result of the layer-0 walk: the best ef nodes found, in a heap with
// the worst on top (a NaN above every number); a node enters when it is
// found. Once the heap is full a score is refused when it is no better than
// the top by a plain comparison, so a NaN on either side is never refused:
// a deleted node is walked through and does not end the walk.
template <bool Higher>
class Layer0Result {
public:
    static constexpr bool kAdmitOnFound = true;

    // Room for ef + 1 entries, but never more than the graph can offer.
    Layer0Result(std::uint64_t ef, std::size_t nodes) : ef_(ef) {
        kept_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ef, nodes)) + 1);
    }

    bool accepts(float score) const { return kept_.size() < ef_ || !no_better(score, kept_.front().score); }
    void admit(std::uint32_t node, float score) {
        kept_.push_back(GraphCandidate{node, score});
        std::push_heap(kept_.begin(), kept_.end(), WorstOnTop{});
        if (kept_.size() > ef_) {
            std::pop_heap(kept_.begin(), kept_.end(), WorstOnTop{});
            kept_.pop_back();
        }
    }
    // The heap as it lies, for the caller's stable sort.
    std::vector<GraphCandidate> take() { return std::move(kept_); }

private:
    static bool no_better(float a, float b) {
        if constexpr (Higher) {
            return a <= b;
        } else {
            return a >= b;
        }
    }
    // A type rather than a function, so the heap's comparisons are inlined.
    struct WorstOnTop {
        bool operator()(const GraphCandidate& a, const GraphCandidate& b) const {
            return score_ranks_before(a.score, b.score, Higher);
        }
    };

    std::uint64_t ef_;
    std::vector<GraphCandidate> kept_;
};

// Candidates come out NaN first, then best first.
template <bool Higher, class Visible>
std::vector<GraphCandidate> walk_layer0(const HnswGraph& graph, std::span<const float> query, std::uint32_t entry,
                                        std::uint64_t ef, const Visible& visible, const VectorStore& store,
                                        Metric metric) {
    LayerWalkScratch& scratch = thread_walk_scratch();
    HeapQueue<NaNFirstThenBest<Higher>> queue(scratch.heap);
    Layer0Result<Higher> result(ef, graph.nodes.size());
    (void)walk_layer(entry, StoredLayerLinks(graph, 0), ExactScorer(graph, query, store, metric), visible, queue,
                     result, scratch);
    return result.take();
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
    const ExactScorer score(graph, query, store, metric);
    float best = score(current);
    const auto& lists = graph.layers[layer];
    const bool higher = higher_is_better(metric);
    // Not a layer walk, so the thread's scratch is free to hold the scores.
    std::vector<float>& scores = thread_walk_scratch().scores;
    for (;;) {
        if (current >= lists.size()) return current;
        // The pass walks the whole list of the node it started from, even
        // after it has moved on; its scores do not depend on the moves, so
        // they are computed together first.
        const NeighbourList& list = lists[current];
        for (const std::uint32_t n : list) score.prefetch(n);
        score.many(list, scores);
        bool moved = false;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const float s = scores[i];
            if (strictly_better(s, best, higher)) {
                current = list[i];
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

    const auto visible = [&](std::uint32_t node) { return !is_deleted(node); };

    // With no slot deleted every node is visible, and no node's slot needs
    // looking up in the set.
    const bool higher = higher_is_better(metric);
    std::vector<GraphCandidate> out =
        deleted.empty() ? (higher ? walk_layer0<true>(graph, query, entry, ef, AnyNode{}, store, metric)
                                  : walk_layer0<false>(graph, query, entry, ef, AnyNode{}, store, metric))
                        : (higher ? walk_layer0<true>(graph, query, entry, ef, visible, store, metric)
                                  : walk_layer0<false>(graph, query, entry, ef, visible, store, metric));
    const auto before = [higher](const GraphCandidate& a, const GraphCandidate& b) {
        return score_ranks_before(a.score, b.score, higher);
    };
    // A stable sort has one outcome; for the usual few dozen candidates an
    // insertion sort reaches it without the merge buffer's allocation.
    constexpr std::size_t kInsertionSortMax = 64;
    if (out.size() > kInsertionSortMax) {
        std::stable_sort(out.begin(), out.end(), before);
        return out;
    }
    for (std::size_t i = 1; i < out.size(); ++i) {
        const GraphCandidate moving = out[i];
        std::size_t j = i;
        for (; j > 0 && before(moving, out[j - 1]); --j) out[j] = out[j - 1];
        out[j] = moving;
    }
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
