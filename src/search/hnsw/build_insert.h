#pragma once
// The shared state of phase 2 of a parallel graph build, and the insertion of
// a batch of its nodes on the worker pool. Levels, the entry point, the
// vectors, the codebook and the codes are fixed before the first insertion;
// only the lists (each behind its own lock) and the atomic distance counter
// change while workers run. Within a batch, an insertion sees whatever the
// others of the batch have linked so far.
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "base/worker_pool.h"
#include "search/hnsw/build_lists.h"
#include "search/pq/codebook.h"
#include "search/pq/encode.h"
#include "storage/metric.h"

namespace tessello {

struct BuildState {
    BuildState(std::span<const std::uint8_t> node_levels, std::uint8_t top_level)
        : levels(node_levels), lists(node_levels, top_level), max_level(top_level) {}

    std::span<const std::uint8_t> levels;  // one per node
    BuildLists lists;
    std::span<const float* const> vectors;  // where each node's dimensions floats lie, node order
    std::uint64_t dimensions = 0;
    const PqCodebook* codebook = nullptr;
    std::span<const float> transposed;  // the codebook's transposed_centroids, for the score tables
    const PqCodes* codes = nullptr;
    std::uint32_t entry_point = 0;
    std::uint8_t max_level = 0;
    std::uint64_t m = 0;
    std::uint64_t m0 = 0;
    std::uint64_t ef_construction = 0;
    Metric metric = Metric::L2;
    std::atomic<std::uint64_t> distance_calcs{0};
};

// Inserts nodes [start, end) on the pool, each exactly once, in no set order;
// returns when all are in.
void parallel_insert_batch(std::uint64_t start, std::uint64_t end, BuildState& state, WorkerPool& pool);

}  // namespace tessello
