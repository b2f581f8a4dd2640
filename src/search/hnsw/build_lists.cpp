#include "search/hnsw/build_lists.h"

#include <algorithm>
#include <new>

namespace tessello {

BuildLists::BuildLists(std::span<const std::uint8_t> levels, std::uint8_t max_level)
    : node_count_(levels.size()), layers_(static_cast<std::size_t>(max_level) + 1) {
    layers_[0].count = node_count_;
    for (std::size_t l = 1; l < layers_.size(); ++l) {
        Layer& layer = layers_[l];
        layer.position.assign(node_count_, kAbsent);
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < node_count_; ++i) {
            if (levels[i] >= l) layer.position[i] = count++;
        }
        layer.count = count;
    }
    for (Layer& layer : layers_) {
        // Value-initialised: every list starts empty (a null block).
        layer.heads = std::make_unique<std::atomic<Block*>[]>(layer.count);
        layer.writers = std::make_unique<std::mutex[]>(layer.count);
    }
}

void* BuildLists::BlockArena::allocate(std::size_t bytes) {
    // 1 MiB chunks: a few hundred blocks each, so carving is a bump of a
    // pointer, and the rest of a chunk too small for a block is left unused.
    constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
    if (bytes > left_) {
        const std::size_t size = std::max(kChunkBytes, bytes);
        chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
        next_ = chunks_.back().get();
        left_ = size;
    }
    void* const out = next_;
    next_ += bytes;
    left_ -= bytes;
    return out;
}

BuildLists::Block* BuildLists::new_block(std::uint32_t size) {
    // Twice the room needed, so a list that keeps growing is copied
    // O(log length) times and its replaced blocks total less than its last.
    const std::uint32_t capacity = std::max<std::uint32_t>(16, 2 * size);
    // Capacities are even, so every block after the first of a chunk is
    // 8-byte aligned, as the first is.
    static_assert(sizeof(Block) % alignof(Block) == 0 && alignof(Block) <= 2 * sizeof(std::uint32_t));
    void* const raw = arenas_.local().allocate(sizeof(Block) + std::size_t{capacity} * sizeof(std::uint32_t));
    Block* const block = new (raw) Block;
    block->size.store(0, std::memory_order_relaxed);
    block->capacity = capacity;
    return block;
}

void BuildLists::publish(std::atomic<Block*>& head, Block* block, std::uint32_t size) {
    block->size.store(size, std::memory_order_relaxed);
    head.store(block, std::memory_order_release);
}

void BuildLists::set_chosen(std::uint32_t layer, std::uint32_t node, std::span<const std::uint32_t> chosen) {
    const std::uint32_t at = index_of(layer, node);
    if (at == kAbsent) return;
    Layer& l = layers_[layer];
    std::lock_guard lock(l.writers[at]);
    // Readers may be walking the current items, so the merged list goes
    // into a block of its own.
    const std::span<const std::uint32_t> held = read(layer, node);
    Block* const block = new_block(static_cast<std::uint32_t>(chosen.size() + held.size()));
    std::uint32_t* const out = block->items();
    std::uint32_t size = 0;
    for (const std::uint32_t c : chosen) out[size++] = c;
    for (const std::uint32_t kept : held)
        if (std::find(chosen.begin(), chosen.end(), kept) == chosen.end()) out[size++] = kept;
    publish(l.heads[at], block, size);
}

void BuildLists::add_link(std::uint32_t layer, std::uint32_t node, std::uint32_t target) {
    const std::uint32_t at = index_of(layer, node);
    if (at == kAbsent) return;
    Layer& l = layers_[layer];
    std::lock_guard lock(l.writers[at]);
    const std::span<const std::uint32_t> held = read(layer, node);
    if (std::find(held.begin(), held.end(), target) != held.end()) return;
    const auto size = static_cast<std::uint32_t>(held.size());
    Block* const current = l.heads[at].load(std::memory_order_relaxed);
    if (current != nullptr && size < current->capacity) {
        // Past every length a reader has seen: no reader looks at this item
        // until the release below hands it out.
        current->items()[size] = target;
        current->size.store(size + 1, std::memory_order_release);
        return;
    }
    Block* const block = new_block(size + 1);
    std::copy(held.begin(), held.end(), block->items());
    block->items()[size] = target;
    publish(l.heads[at], block, size + 1);
}

std::vector<std::vector<NeighbourList>> BuildLists::take(WorkerPool& pool) {
    std::vector<std::vector<NeighbourList>> out(layers_.size());
    for (std::size_t l = 0; l < layers_.size(); ++l) {
        const auto layer = static_cast<std::uint32_t>(l);
        out[l].resize(node_count_);
        // Each task fills its own node's list.
        pool.parallel_for(node_count_, [&](std::uint64_t i) {
            const auto node = static_cast<std::uint32_t>(i);
            const std::uint32_t at = index_of(layer, node);
            if (at == kAbsent) return;
            const std::span<const std::uint32_t> items = read(layer, node);
            out[l][i].assign(items.begin(), items.end());
            layers_[l].heads[at].store(nullptr, std::memory_order_relaxed);
        });
    }
    return out;
}

}  // namespace tessello
