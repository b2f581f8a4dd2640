#pragma once
// BuildLists: the neighbour lists of a graph under construction, shared by
// the workers of a parallel build.
//
// Readers take no lock and write nothing shared: read() returns the list as
// it stood at one moment (a snapshot), in place. A list's items live in a
// block that is only ever changed past the length any reader has seen (an
// append into spare room), or replaced whole by a new block (a list that
// outgrows its room, a node's own choice). A replaced block stays allocated,
// unchanged, until the destructor, so a snapshot stays valid and whole at
// least until take(). Writers of one list take its mutex, never two at once, so
// they cannot deadlock, and no lock is held while scores are computed. Blocks
// come from chunks each writing thread carves up for itself, all freed with
// the lists: a block is never freed on its own.
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

#include <tbb/enumerable_thread_specific.h>

#include "base/worker_pool.h"
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
    std::span<const std::uint32_t> read(std::uint32_t layer, std::uint32_t node) const {
        const std::atomic<Block*>* head = find(layer, node);
        if (head == nullptr) return {};
        // Acquire pairs with the release of publish() and of an in-place
        // append: every item below the size read was written before it.
        Block* const block = head->load(std::memory_order_acquire);
        if (block == nullptr) return {};
        return {block->items(), block->size.load(std::memory_order_acquire)};
    }
    // True when the list is empty at the moment of the read.
    bool empty(std::uint32_t layer, std::uint32_t node) const { return read(layer, node).empty(); }
    // A hint that the list is read soon: its block is fetched into cache.
    // The block pointers lie packed, one word per node, so reading one
    // mostly hits the cache.
    void prefetch(std::uint32_t layer, std::uint32_t node) const {
        if (const std::atomic<Block*>* head = find(layer, node)) {
            if (Block* const block = head->load(std::memory_order_relaxed)) __builtin_prefetch(block);
        }
    }
    // A node's own choice, under the list's mutex: the chosen neighbours
    // first, in their order, then whatever links the list already held (the
    // links back from nodes inserted before it), which are kept.
    void set_chosen(std::uint32_t layer, std::uint32_t node, std::span<const std::uint32_t> chosen);
    // Appends target under the list's mutex unless it is already there.
    void add_link(std::uint32_t layer, std::uint32_t node, std::uint32_t target);

    // Moves the lists out: layers[l][node] for every layer and node, copied
    // out on the pool. Called once, after the last writer is done; every
    // snapshot ends here.
    std::vector<std::vector<NeighbourList>> take(WorkerPool& pool = WorkerPool::global());

private:
    // A header followed by `capacity` items; the first `size` are the list.
    struct Block {
        std::atomic<std::uint32_t> size;
        std::uint32_t capacity;

        std::uint32_t* items() { return reinterpret_cast<std::uint32_t*>(this + 1); }
    };
    // The chunks one thread carves its blocks from, one after another.
    class BlockArena {
    public:
        // Room for `bytes` (a multiple of 4), aligned as a Block.
        void* allocate(std::size_t bytes);

    private:
        std::vector<std::unique_ptr<std::byte[]>> chunks_;
        std::byte* next_ = nullptr;
        std::size_t left_ = 0;
    };
    // The lists of one layer: list i's current block (null while the list is
    // empty) and, apart, the mutex its writers hold, so that readers only
    // ever touch the packed pointers.
    struct Layer {
        std::vector<std::uint32_t> position;  // node -> list index, or kAbsent; empty on layer 0 (identity)
        std::size_t count = 0;
        std::unique_ptr<std::atomic<Block*>[]> heads;
        std::unique_ptr<std::mutex[]> writers;
    };
    static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

    // The list's index on the layer, or kAbsent.
    std::uint32_t index_of(std::uint32_t layer, std::uint32_t node) const {
        if (layer >= layers_.size() || node >= node_count_) return kAbsent;
        return layer == 0 ? node : layers_[layer].position[node];
    }
    const std::atomic<Block*>* find(std::uint32_t layer, std::uint32_t node) const {
        const std::uint32_t at = index_of(layer, node);
        return at == kAbsent ? nullptr : &layers_[layer].heads[at];
    }
    // A new block with room for at least `size` items (and then some),
    // empty, from the calling thread's arena. Under the list's mutex.
    Block* new_block(std::uint32_t size);
    // Fills in the block's size and makes it the list's block. Under the mutex.
    static void publish(std::atomic<Block*>& head, Block* block, std::uint32_t size);

    std::size_t node_count_;
    std::vector<Layer> layers_;
    tbb::enumerable_thread_specific<BlockArena> arenas_;
};

}  // namespace tessello
