#pragma once
// The parts of a layer walk (layer_walk.h) over a stored HnswGraph scored
// exactly against a query, as graph search and the incremental insert walk
// it: the layer's lists as they stand, and node_distance of each node.
//
// Both read the graph and the vector store in place: the caller holds the
// graph lock (either mode) and the vector store's lock shared for as long
// as the parts are used.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

private:
    const std::vector<NeighbourList>* lists_;
    std::size_t nodes_;
};

// node_distance of a node against the query.
class ExactScorer {
public:
    ExactScorer(const std::vector<HnswNode>& nodes, std::span<const float> query, const VectorStore& store,
                Metric metric)
        : nodes_(nodes), query_(query), store_(store), metric_(metric) {}

    float operator()(std::uint32_t node) const { return node_distance(nodes_, query_, node, store_, metric_); }
    // Starts bringing the node's vector into cache while the rest of the
    // list is looked at.
    void prefetch(std::uint32_t node) const {
        const std::uint64_t slot = nodes_[node].slot;
        if (slot < store_.slot_count()) __builtin_prefetch(store_.slot_view(slot).data());
    }
    void many(std::span<const std::uint32_t> nodes, std::vector<float>& out) const {
        out.resize(nodes.size());
        for (std::size_t i = 0; i < nodes.size(); ++i) out[i] = (*this)(nodes[i]);
    }

private:
    const std::vector<HnswNode>& nodes_;
    std::span<const float> query_;
    const VectorStore& store_;
    Metric metric_;
};

}  // namespace tessello
