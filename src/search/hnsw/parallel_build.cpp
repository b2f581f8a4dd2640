#include "search/hnsw/parallel_build.h"

#include <algorithm>

#include "base/clock.h"
#include "search/hnsw/build_insert.h"
#include "search/hnsw/build_report.h"
#include "search/hnsw/level.h"
#include "search/pq/codebook.h"
#include "search/pq/encode.h"

namespace tessello {

NodeVectors node_vectors(const std::vector<HnswNode>& nodes, const VectorStore& store, WorkerPool& pool) {
    NodeVectors out;
    out.zeros.assign(store.dimensions(), 0.0f);
    out.rows.resize(nodes.size());
    pool.parallel_for(nodes.size(), [&](std::uint64_t i) {
        // An unallocated slot reads as zeros; the node stays in the graph.
        const auto slot = store.read_slot(nodes[i].slot);
        out.rows[i] = slot ? slot->data() : out.zeros.data();
    });
    return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> insert_batches(std::uint64_t n) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> batches;
    for (std::uint64_t start = 0; start < n; start += kBuildBatchSize) {
        batches.emplace_back(start, std::min(n, start + kBuildBatchSize));
    }
    return batches;
}

HnswGraph build_graph_parallel(const HnswConfig& config, Metric metric, const std::vector<LiveEntry>& entries,
                               const VectorStore& store) {
    return build_graph_parallel(config, metric, entries, store, WorkerPool::global());
}

HnswGraph build_graph_parallel(const HnswConfig& config, Metric metric, const std::vector<LiveEntry>& entries,
                               const VectorStore& store, WorkerPool& pool) {
    HnswGraph graph = empty_graph(config);
    const std::uint64_t n = entries.size();
    if (n == 0) return graph;

    const std::uint64_t total_start = monotonic_ns();
    const std::uint64_t setup_start = monotonic_ns();

    // Phase 1: levels, nodes, layers, entry point, vectors and codes.
    graph.nodes.reserve(n);
    graph.slot_to_node.reserve(n);
    std::vector<std::uint8_t> levels(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        levels[i] = draw_level(entries[i].slot, config.level_multiplier);
        // Keeps the first node of the highest level as the entry point, and
        // maps a repeated slot to its later node.
        add_node(graph, entries[i].slot, entries[i].id, levels[i]);
    }

    BuildState state(levels, graph.max_level);
    state.entry_point = *graph.entry_point;
    state.m = config.m;
    state.m0 = config.m0;
    state.ef_construction = config.ef_construction;
    state.metric = metric;
    state.dimensions = store.dimensions();

    const NodeVectors vectors = node_vectors(graph.nodes, store, pool);
    const PqCodebook codebook = train_codebook(vectors.rows, state.dimensions, metric, pool);
    const PqCodes codes = pq_encode_all(codebook, vectors.rows, pool);
    const std::vector<float> transposed = transposed_centroids(codebook);
    state.vectors = vectors.rows;
    state.codebook = &codebook;
    state.transposed = transposed;
    state.codes = &codes;
    BuildProfile profile;
    profile.nodes = n;
    profile.setup_seconds = seconds_since(setup_start);

    // Phase 2: the batches, one after another.
    const std::uint64_t insert_start = monotonic_ns();
    state.distance_calcs.store(0);
    for (const auto& [start, end] : insert_batches(n)) parallel_insert_batch(start, end, state, pool);
    profile.insert_seconds = seconds_since(insert_start);

    // Phase 3: no repair pass is made; it is timed all the same.
    const std::uint64_t repair_start = monotonic_ns();
    profile.repair_seconds = seconds_since(repair_start);
    profile.nodes_improved = 0;

    if (n >= kBuildReportMinNodes) {
        profile.total_seconds = seconds_since(total_start);
        profile.distance_calcs = state.distance_calcs.load();
        print_build_report(profile);
    }

    graph.layers = state.lists.take(pool);
    return graph;
}

}  // namespace tessello
