#pragma once
// build_graph_parallel: a complete graph over a collection's live entries in
// one pass. Levels and the entry point are fixed first (entry i becomes node
// i); vectors are read in place from the store and product-quantised; then
// the nodes are inserted on the worker pool in batches of 5000, candidates
// scored by their codes and only the final neighbour choice by exact
// distance, back-links unpruned. Builds of 1000 nodes or more print a timing
// report on standard error. Never fails: an entry whose slot is not
// allocated becomes a node with an all-zero vector.
//
// The caller holds the vector store's lock shared for the whole call, so the
// store does not change. Links depend on scheduling when the pool has more
// than one thread; nodes, levels, the entry point and slot_to_node never do.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/worker_pool.h"
#include "search/hnsw/hnsw_graph.h"
#include "storage/hnsw_config.h"
#include "storage/metric.h"
#include "storage/vectors.h"

namespace tessello {

inline constexpr std::uint64_t kBuildBatchSize = 5000;

HnswGraph build_graph_parallel(const HnswConfig& config, Metric metric, const std::vector<LiveEntry>& entries,
                               const VectorStore& store);
// The same on a given pool (tests use private pools).
HnswGraph build_graph_parallel(const HnswConfig& config, Metric metric, const std::vector<LiveEntry>& entries,
                               const VectorStore& store, WorkerPool& pool);

// Where the build reads each node's vector: in place in the store's mapping
// (no copy is made), or `zeros` for a node whose slot is not allocated.
// Valid while the store stays as it is (the caller's shared lock) and this
// object lives.
struct NodeVectors {
    std::vector<const float*> rows;  // one per node, in node order
    std::vector<float> zeros;        // dimensions zeros
};

NodeVectors node_vectors(const std::vector<HnswNode>& nodes, const VectorStore& store, WorkerPool& pool);

// The node ranges [start, end) of the insertion batches for n nodes, in the
// order they run: 5000 nodes each, the last one holding the rest.
std::vector<std::pair<std::uint64_t, std::uint64_t>> insert_batches(std::uint64_t n);

}  // namespace tessello
