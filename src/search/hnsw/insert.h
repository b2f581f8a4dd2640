#pragma once
// Incremental insert: live records without a node are linked into an existing
// graph one by one, in the order given, with exact distances.
//
// Each new node draws its level from its slot, descends greedily from the
// entry point to its own level, and on each of its layers links to the
// nearest nodes found there (at most m0 on layer 0, m above), which link
// back; a list that grows past its cap (m0 on layer 0, max_m above) is
// pruned to the entries nearest its owner. The result size of the per-layer
// search is min(ef_construction, 75). The deleted slots are not consulted.
// Nothing fails: a node whose slot is not allocated is added without links,
// and a neighbour whose slot is not allocated is dropped when a list is
// pruned. Given the same graph and entries the result is always the same.
//
// A NaN score (a deleted record's vector) ranks below every number in the
// sorted lists here, so it never displaces a scored node.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "search/hnsw/graph_search.h"
#include "search/hnsw/hnsw_graph.h"
#include "storage/vectors.h"

namespace tessello {

inline constexpr std::uint64_t kInsertEfCap = 75;

// Inserts every entry whose slot has no node yet. Takes the index's graph
// lock itself: shared to pick the entries and read ef, then exclusive for
// the whole batch. The caller holds the collection's index lock exclusively
// and the vector store's lock shared (lock order: index, vector store, graph).
void insert_nodes(HnswIndex& index, const std::vector<LiveEntry>& entries, const VectorStore& store);

// From `position` on, a copy of the next entry whose slot is not a key of
// slot_to_node, leaving `position` just past it; nothing at the end.
// Caller holds the graph lock shared.
std::optional<LiveEntry> next_unindexed(std::span<const LiveEntry> entries, std::size_t& position,
                                        const HnswGraph& graph);

// Search of one layer for the neighbours of a new node: at most ef
// candidates, best first (stable, so equal scores keep the order found).
// Caller holds the graph lock exclusively and the vector store's lock shared.
std::vector<GraphCandidate> search_layer_for_insert(const HnswGraph& graph, std::span<const float> query,
                                                    std::uint32_t entry, std::uint64_t layer, std::uint64_t ef,
                                                    const VectorStore& store, Metric metric);

// Cuts the list of `node` on `layer` to its `cap` entries nearest the node's
// own vector (stable among equal scores), dropping entries whose slot is not
// allocated; a node whose own slot is not allocated keeps its first `cap`.
void prune_neighbours(HnswGraph& graph, std::uint32_t node, std::uint64_t layer, std::uint64_t cap,
                      const VectorStore& store, Metric metric);

}  // namespace tessello
