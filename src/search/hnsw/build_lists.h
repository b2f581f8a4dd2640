#pragma once
// BuildLists: the neighbour lists of a graph under construction, shared by
// the workers of a parallel build. Every list has its own reader-writer lock;
// each operation takes exactly one list's lock for the length of one copy or
// one write and never holds two, so the locks cannot deadlock and no lock is
// held while scores are computed.
//
// Layer l keeps lists only for the nodes whose level is at least l (only
// those can be reached on it while building); reading any other list gives
// an empty one, and writing it is ignored. take() hands out the plain layout
// of the graph: every layer with one list per node.
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <span>
#include <vector>

#include "search/hnsw/hnsw_graph.h"

namespace tessello {

class BuildLists {
public:
    // Layers 0..max_level for nodes of the given levels (each at most max_level).
    BuildLists(std::span<const std::uint8_t> levels, std::uint8_t max_level);
    BuildLists(const BuildLists&) = delete;
    BuildLists& operator=(const BuildLists&) = delete;

    std::size_t node_count() const { return node_count_; }

    // Copies the list into out (replacing its contents) under the read lock.
    void copy(std::uint32_t layer, std::uint32_t node, NeighbourList& out) const;
    // True when the list is empty at the moment of the read.
    bool empty(std::uint32_t layer, std::uint32_t node) const;
    // A node's own choice, under the list's write lock: the chosen neighbours
    // first, in their order, then whatever links the list already held (the
    // links back from nodes inserted before it), which are kept.
    void set_chosen(std::uint32_t layer, std::uint32_t node, std::span<const std::uint32_t> chosen);
    // Appends target under the list's write lock unless it is already there.
    void add_link(std::uint32_t layer, std::uint32_t node, std::uint32_t target);

    // Moves the lists out: layers[l][node] for every layer and node. Called
    // once, after the last writer is done.
    std::vector<std::vector<NeighbourList>> take();

private:
    struct List {
        mutable std::shared_mutex lock;
        NeighbourList items;
    };
    struct Layer {
        std::vector<std::uint32_t> position;  // node -> index in lists, or kAbsent; empty on layer 0 (identity)
        std::unique_ptr<List[]> lists;
    };
    static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

    List* find(std::uint32_t layer, std::uint32_t node) const;

    std::size_t node_count_;
    std::vector<Layer> layers_;
};

}  // namespace tessello
