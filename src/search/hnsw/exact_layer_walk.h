#pragma once
// The parts of a layer walk (layer_walk.h) over a stored HnswGraph scored
// exactly against a query, as graph search and the incremental insert walk
// it: the layer's lists as they stand, and node_distance of each node.
//
// Both read the graph and the vector store in place: the caller holds the
// graph lock (either mode) and the vector store's lock shared for as long
// as the parts are used.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/distance.h"
#include "search/hnsw/graph_search.h"
#include "search/hnsw/hnsw_graph.h"
#include "storage/metric.h"
#include "storage/vectors.h"

namespace tessello {

// The lists of one layer; a layer the graph does not have, and a node with
// no list on it, have no neighbours.
class StoredLayerLinks {
public:
    StoredLayerLinks(const HnswGraph& graph, std::uint64_t layer)
        : lists_(layer < graph.layers.size() ? &graph.layers[layer] : nullptr), nodes_(graph.nodes.size()) {}

    std::size_t node_count() const { return nodes_; }
    std::span<const std::uint32_t> neighbours(std::uint32_t node, NeighbourList&) const {
        if (lists_ == nullptr || node >= lists_->size()) return {};
        return (*lists_)[node];
    }
    void prefetch(std::uint32_t node) const {
        if (lists_ != nullptr && node < lists_->size()) __builtin_prefetch((*lists_)[node].data());
    }

private:
    const std::vector<NeighbourList>* lists_;
    std::size_t nodes_;
};

// Asks for the cache line holding p. GCC 12 deletes a loop of
// __builtin_prefetch calls behind a branch as if it did nothing, so on x86
// the instruction is written out.
inline void prefetch_line(const char* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
#endif
}

// node_distance of a node against the query. The slot count is read once,
// when the scorer is made: the caller's lock keeps it from changing. Slots
// are read from the graph's dense copy when it has one.
class ExactScorer {
public:
    ExactScorer(const HnswGraph& graph, std::span<const float> query, const VectorStore& store, Metric metric)
        : nodes_(graph.nodes),
          dense_(graph.node_slots.size() == graph.nodes.size() ? graph.node_slots.data() : nullptr),
          query_(query.first(std::min<std::size_t>(query.size(), store.dimensions()))),
          full_query_(query),
          store_(store),
          slots_(store.slot_count()),
          bytes_(store.dimensions() * sizeof(float)),
          metric_(metric) {}

    float operator()(std::uint32_t node) const { return node_distance(nodes_, full_query_, node, store_, metric_); }
    std::uint64_t slot_of(std::uint32_t node) const { return dense_ != nullptr ? dense_[node] : nodes_[node].slot; }
    // Starts bringing the node's whole vector into cache while the rest of
    // the list is looked at.
    void prefetch(std::uint32_t node) const {
        const std::uint64_t slot = slot_of(node);
        if (slot >= slots_) return;
        const char* p = reinterpret_cast<const char*>(store_.slot_view(slot).data());
        for (std::size_t at = 0; at < bytes_; at += 64) prefetch_line(p + at);
    }
    // The vectors of allocated slots are scored four at a time, each
    // exactly as node_distance scores it alone.
    void many(std::span<const std::uint32_t> nodes, std::vector<float>& out) const {
        out.resize(nodes.size());
        const float* rows[4];
        std::size_t at[4];
        std::size_t held = 0;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const std::uint64_t slot = slot_of(nodes[i]);
            if (slot >= slots_) {
                out[i] = (*this)(nodes[i]);
                continue;
            }
            rows[held] = store_.slot_view(slot).data();
            at[held] = i;
            if (++held == 4) {
                float four[4];
                distance4(metric_, query_, rows, four);
                for (std::size_t j = 0; j < 4; ++j) out[at[j]] = four[j];
                held = 0;
            }
        }
        for (std::size_t j = 0; j < held; ++j) out[at[j]] = distance(metric_, query_, {rows[j], query_.size()});
    }

private:
    const std::vector<HnswNode>& nodes_;
    const std::uint64_t* dense_;  // null: slots are read from nodes_
    std::span<const float> query_;       // as far as a stored vector reaches
    std::span<const float> full_query_;  // as the caller gave it
    const VectorStore& store_;
    std::uint64_t slots_;
    std::size_t bytes_;
    Metric metric_;
};

}  // namespace tessello
