#pragma once
// Searching the HNSW graph.
//
// Scores are raw distance values; the metric decides which is better (higher
// for Cosine and Dot, lower for L2), and "strictly better" is a plain float
// comparison, false whenever a NaN takes part. A node whose slot is not
// allocated scores the metric's worst value (-inf for Cosine and Dot, +inf
// for L2); a deleted record's slot starts with a NaN, so its node scores NaN.
//
// The walks assume a consistent graph (every link and the entry point below
// the node count): the loader refuses a file that is not, and insertion
// keeps it so. A NaN score never makes a walk fail; nodes whose slot is in
// the deleted set are walked through but never returned.
#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "search/hnsw/hnsw_graph.h"
#include "search/search_hit.h"
#include "storage/vectors.h"

namespace tessello {

struct GraphCandidate {
    std::uint32_t node = 0;
    float score = 0.0f;

    bool operator==(const GraphCandidate&) const = default;
};

// The score of a node against the query (query first, the node's vector
// second), read in place. The caller holds the vector store's lock shared.
float node_distance(const std::vector<HnswNode>& nodes, std::span<const float> query, std::uint32_t node,
                    const VectorStore& store, Metric metric);

// Greedy descent on one upper layer: moves to the best neighbour of the
// current node while one is strictly better, ending on the first of equal
// best ones. A layer the graph does not have leaves the entry where it is.
// Caller holds the graph lock (either mode) and the vector store's lock shared.
std::uint32_t greedy_search_layer(const HnswGraph& graph, std::span<const float> query, std::uint32_t entry,
                                  std::uint64_t layer, const VectorStore& store, Metric metric);

// Best-first walk of layer 0 from entry keeping the best ef nodes that are
// not hidden: a node is hidden when its slot is in `deleted` and the slot
// does not map to it (a record that reused the slot has the node it maps to); the result holds at most ef candidates with raw
// scores, best first (NaN scores last). Caller holds the graph and
// deleted-slot locks and the vector store's lock, all shared.
std::vector<GraphCandidate> search_layer0(const HnswGraph& graph, std::span<const float> query, std::uint32_t entry,
                                          std::uint64_t ef, const std::unordered_set<std::uint64_t>& deleted,
                                          const VectorStore& store, Metric metric);

// A node the graph offers a search: a copy of its identifier, its slot and
// its score against the query.
struct GraphFind {
    std::string id;
    std::uint64_t slot = 0;
    float score = 0.0f;
};

// The first `wanted` nodes of the layer-0 walk, best first, with ef =
// max(ef_search, wanted): the graph is descended under the graph lock and
// then the deleted-slot lock (both shared, released in reverse order).
// Deleted records' nodes are hidden as search_layer0 hides them; nothing
// here looks at the records themselves. The caller holds the collection's
// index lock and vector store lock, both shared.
std::vector<GraphFind> graph_candidates(HnswIndex& index, std::span<const float> query, std::uint64_t wanted,
                                        const VectorStore& store);

}  // namespace tessello
