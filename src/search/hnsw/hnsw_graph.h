#pragma once
// The HNSW graph of a collection with HNSW parameters.
//
// HnswGraph: nodes (a node's position is its u32 index), layers (layer 0
// first; every layer holds one neighbour list per node, above a node's own
// level too), the entry point (absent only while there is no node), the map
// from slot to node, the graph's own copy of the parameters and max_level
// (the entry point's level). Links are directed; nodes are only appended.
// node_slots repeats each node's slot in one dense array for the searches,
// which read a slot for every node they score; add_node and the loader keep
// it. A graph whose node_slots is not as long as its nodes (its nodes set
// by hand) is searched through the nodes themselves.
//
// HnswIndex: the graph and the set of deleted slots, each behind its own
// reader-writer lock, and the metric. Lock order: graph before deleted_slots
// when both are held (a search); a delete takes them one after the other.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/fair_shared_mutex.h"
#include "storage/hnsw_config.h"
#include "storage/metric.h"

namespace tessello {

inline constexpr std::uint8_t kMaxHnswLevel = 32;

struct HnswNode {
    std::string id;
    std::uint64_t slot = 0;
    std::uint8_t level = 0;

    bool operator==(const HnswNode&) const = default;
};

using NeighbourList = std::vector<std::uint32_t>;

// One live record as the graph sees it: its slot and identifier. Lists of
// them are in the key order of table "records".
struct LiveEntry {
    std::uint64_t slot = 0;
    std::string id;
};

struct HnswGraph {
    std::vector<HnswNode> nodes;
    std::vector<std::uint64_t> node_slots;  // node_slots[i] == nodes[i].slot
    std::vector<std::vector<NeighbourList>> layers;  // layers[l][node]
    std::optional<std::uint32_t> entry_point;
    std::unordered_map<std::uint64_t, std::uint32_t> slot_to_node;
    HnswConfig config;
    std::uint8_t max_level = 0;
};

// The empty graph with the given parameters.
HnswGraph empty_graph(const HnswConfig& config);

// Appends a node of the given level, keeping every invariant: the slot maps
// to it (replacing an older node of that slot), layers grow to its level,
// every layer gets a list for it, and it becomes the entry point when the
// graph has none or its level is above max_level. Returns its index.
std::uint32_t add_node(HnswGraph& graph, std::uint64_t slot, std::string id, std::uint8_t level);

struct HnswIndex {
    HnswIndex(HnswGraph g, Metric m) : graph(std::move(g)), metric(m) {}

    FairSharedMutex graph_lock;
    HnswGraph graph;
    FairSharedMutex deleted_lock;
    std::unordered_set<std::uint64_t> deleted_slots;
    Metric metric;
};

// The number of nodes, read under the graph lock (shared).
std::uint64_t hnsw_node_count(HnswIndex& index);

}  // namespace tessello
