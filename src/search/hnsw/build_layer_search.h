#pragma once
// The per-layer search of a parallel build. Candidates are scored by their
// product-quantiser codes against the inserted node's table (AdcScorer); the
// search keeps at most ef results W and expands candidates best first.
//
// Ordering: "better" follows the metric (higher for Cosine and Dot, lower for
// L2). A NaN score is never better than anything, and any number is better
// than NaN, so NaN-scored nodes sort last and are the first to leave W.
//
// The search is the layer walk of layer_walk.h with the candidates scored by
// AdcScorer, the lists read from BuildLists, candidates best first (a
// NaN last) and W kept in admission order.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/hnsw/build_lists.h"
#include "search/hnsw/layer_walk.h"
#include "search/pq/adc.h"
#include "search/pq/encode.h"
#include "storage/metric.h"

namespace tessello {

using BuildCandidate = WalkCandidate;

// The score of a node for one insertion: its codes looked up in the table.
struct AdcScorer {
    std::span<const float> table;
    const PqCodes* codes;

    float operator()(std::uint32_t node) const { return adc_score(table, codes->row(node)); }
    // Asks for the node's codes to be brought into cache ahead of scoring.
    void prefetch(std::uint32_t node) const { __builtin_prefetch(codes->codes.data() + node * codes->num_subquantizers); }
    // out[i] = the score of nodes[i]; out is resized to match.
    void many(std::span<const std::uint32_t> nodes, std::vector<float>& out) const {
        out.resize(nodes.size());
        adc_scores(table, *codes, nodes, out.data());
    }
};

// The lists of one layer under construction, each read as a snapshot in
// place (the buffer is not used).
class BuildLayerLinks {
public:
    BuildLayerLinks(const BuildLists& lists, std::uint32_t layer) : lists_(lists), layer_(layer) {}

    std::size_t node_count() const { return lists_.node_count(); }
    std::span<const std::uint32_t> neighbours(std::uint32_t node, NeighbourList&) const {
        return lists_.read(layer_, node);
    }
    void prefetch(std::uint32_t node) const { lists_.prefetch(layer_, node); }

private:
    const BuildLists& lists_;
    std::uint32_t layer_;
};

// What one worker thread reuses from search to search.
using LayerSearchScratch = LayerWalkScratch;

// W of the search from `start` on `layer`, in admission order (an entry
// admitted into a full W stands where the displaced entry stood). Adds one to
// distance_calcs for every node it scores.
std::vector<BuildCandidate> layer_search(const BuildLists& lists, std::uint32_t layer, std::uint32_t start,
                                         std::uint64_t ef, Metric metric, const AdcScorer& score,
                                         std::atomic<std::uint64_t>& distance_calcs, LayerSearchScratch& scratch);
// The same W into w (its contents replaced), whose room is kept from call to
// call.
void layer_search(const BuildLists& lists, std::uint32_t layer, std::uint32_t start, std::uint64_t ef, Metric metric,
                  const AdcScorer& score, std::atomic<std::uint64_t>& distance_calcs, LayerSearchScratch& scratch,
                  std::vector<BuildCandidate>& w);

}  // namespace tessello
