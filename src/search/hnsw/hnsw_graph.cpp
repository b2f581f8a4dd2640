#include "search/hnsw/hnsw_graph.h"

#include <shared_mutex>

namespace tessello {

HnswGraph empty_graph(const HnswConfig& config) {
    HnswGraph g;
    g.config = config;
    return g;
}

std::uint32_t add_node(HnswGraph& graph, std::uint64_t slot, std::string id, std::uint8_t level) {
    const auto index = static_cast<std::uint32_t>(graph.nodes.size());
    graph.nodes.push_back(HnswNode{std::move(id), slot, level});
    graph.node_slots.push_back(slot);
    graph.slot_to_node[slot] = index;
    while (graph.layers.size() <= level) graph.layers.emplace_back();
    for (auto& layer : graph.layers) layer.resize(graph.nodes.size());
    if (!graph.entry_point || level > graph.max_level) {
        graph.entry_point = index;
        graph.max_level = level;
    }
    return index;
}

std::uint64_t hnsw_node_count(HnswIndex& index) {
    std::shared_lock lock(index.graph_lock);
    return index.graph.nodes.size();
}

}  // namespace tessello
