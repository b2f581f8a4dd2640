#pragma once
// BuildLists: the neighbour lists of a graph under construction, shared by
// the workers of a parallel build.
//
// Readers take no lock and write nothing shared: read() returns the list as
// it stood at one moment (a snapshot), in place. A list's items live in a
// block that is only ever changed past the length any reader has seen (an
// append into spare room), or replaced whole by a new block (a list that
// outgrows its room, a node's own choice). A replaced block stays allocated,
// unchanged, until take() or the destructor, so a snapshot stays valid and
// whole until then. Writers of one list take its mutex, never two at once, so
// they cannot deadlock, and no lock is held while scores are computed.
//
// Layer l keeps lists only for the nodes whose level is at least l (only
// those can be reached on it while building); reading any other list gives
// an empty one, and writing it is ignored. take() hands out the plain layout
// of the graph: every layer with one list per node.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
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

    // The list as it stands now; valid until take() or destruction, and
    // never changed by later writes.
    std::span<const std::uint32_t> read(std::uint32_t layer, std::uint32_t node) const;
    // True when the list is empty at the moment of the read.
    bool empty(std::uint32_t layer, std::uint32_t node) const { return read(layer, node).empty(); }
    // A hint that the list is read soon.
    void prefetch(std::uint32_t layer, std::uint32_t node) const;
    // A node's own choice, under the list's mutex: the chosen neighbours
    // first, in their order, then whatever links the list already held (the
    // links back from nodes inserted before it), which are kept.
    void set_chosen(std::uint32_t layer, std::uint32_t node, std::span<const std::uint32_t> chosen);
    // Appends target under the list's mutex unless it is already there.
    void add_link(std::uint32_t layer, std::uint32_t node, std::uint32_t target);

    // Moves the lists out: layers[l][node] for every layer and node. Called
    // once, after the last writer is done; every snapshot ends here.
    std::vector<std::vector<NeighbourList>> take();

private:
    // A header followed by `capacity` items; the first `size` are the list.
    struct Block {
        std::atomic<std::uint32_t> size;
        std::uint32_t capacity;
        Block* replaced;  // the block this one took over from, freed with it

        std::uint32_t* items() { return reinterpret_cast<std::uint32_t*>(this + 1); }
    };
    struct BlockChainDeleter {
        void operator()(Block* block) const;
    };
    struct List {
        std::mutex write;  // held by a writer; readers never take it
        std::atomic<Block*> block{nullptr};  // null while the list is empty
        std::unique_ptr<Block, BlockChainDeleter> owned;  // the same block: owns it and all it replaced
    };
    struct Layer {
        std::vector<std::uint32_t> position;  // node -> index in lists, or kAbsent; empty on layer 0 (identity)
        std::unique_ptr<List[]> lists;
    };
    static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

    List* find(std::uint32_t layer, std::uint32_t node) const;
    // A new block with room for at least `size` items (and then some), empty,
    // that takes over from the list's current one once published. Under the
    // list's mutex.
    static Block* new_block(const List& list, std::uint32_t size);
    // Fills in the block's size and makes it the list's block. Under the mutex.
    static void publish(List& list, Block* block, std::uint32_t size);

    std::size_t node_count_;
    std::vector<Layer> layers_;
};

}  // namespace tessello
