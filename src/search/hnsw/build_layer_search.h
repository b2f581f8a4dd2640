#pragma once
// The per-layer search of a parallel build. Candidates are scored by their
// product-quantiser codes against the inserted node's table (AdcScorer); the
// search keeps at most ef results W and expands candidates best first.
//
// Ordering: "better" follows the metric (higher for Cosine and Dot, lower for
// L2). A NaN score is never better than anything, and any number is better
// than NaN, so NaN-scored nodes sort last and are the first to leave W.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "search/hnsw/build_lists.h"
#include "search/hnsw/visited_marks.h"
#include "search/pq/adc.h"
#include "search/pq/encode.h"
#include "storage/metric.h"

namespace tessello {

struct BuildCandidate {
    std::uint32_t node;
    float score;

    bool operator==(const BuildCandidate&) const = default;
};

// a ranks strictly before b: a is a number and b is NaN, or both are numbers
// and a is better by the metric.
inline bool ranks_before(float a, float b, bool higher_better) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return higher_better ? a > b : a < b;
}

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

// What one worker thread reuses from search to search.
struct LayerSearchScratch {
    explicit LayerSearchScratch(std::size_t nodes) : visited(nodes) {}
    VisitedMarks visited;
    std::vector<BuildCandidate> candidates;  // binary heap, best on top
    NeighbourList neighbours;
    NeighbourList fresh;  // the neighbours not visited before
    std::vector<float> scores;
};

// W of the search from `start` on `layer`, in admission order (an entry
// admitted into a full W stands where the displaced entry stood). Adds one to
// distance_calcs for every node it scores.
std::vector<BuildCandidate> layer_search(const BuildLists& lists, std::uint32_t layer, std::uint32_t start,
                                         std::uint64_t ef, Metric metric, const AdcScorer& score,
                                         std::atomic<std::uint64_t>& distance_calcs, LayerSearchScratch& scratch);

}  // namespace tessello
