#include "search/hnsw/build_lists.h"

#include <algorithm>
#include <new>

namespace tessello {

BuildLists::BuildLists(std::span<const std::uint8_t> levels, std::uint8_t max_level)
    : node_count_(levels.size()), layers_(static_cast<std::size_t>(max_level) + 1) {
    layers_[0].lists = std::make_unique<List[]>(node_count_);
    for (std::size_t l = 1; l < layers_.size(); ++l) {
        Layer& layer = layers_[l];
        layer.position.assign(node_count_, kAbsent);
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < node_count_; ++i) {
            if (levels[i] >= l) layer.position[i] = count++;
        }
        layer.lists = std::make_unique<List[]>(count);
    }
}

void BuildLists::BlockChainDeleter::operator()(Block* block) const {
    while (block != nullptr) {
        Block* const older = block->replaced;
        block->~Block();
        ::operator delete(block);
        block = older;
    }
}

BuildLists::List* BuildLists::find(std::uint32_t layer, std::uint32_t node) const {
    if (layer >= layers_.size() || node >= node_count_) return nullptr;
    const Layer& l = layers_[layer];
    if (layer == 0) return &l.lists[node];
    const std::uint32_t at = l.position[node];
    return at == kAbsent ? nullptr : &l.lists[at];
}

std::span<const std::uint32_t> BuildLists::read(std::uint32_t layer, std::uint32_t node) const {
    const List* list = find(layer, node);
    if (list == nullptr) return {};
    // Acquire pairs with the release of publish() and of an in-place append:
    // every item below the size read was written before it.
    Block* const block = list->block.load(std::memory_order_acquire);
    if (block == nullptr) return {};
    return {block->items(), block->size.load(std::memory_order_acquire)};
}

void BuildLists::prefetch(std::uint32_t layer, std::uint32_t node) const {
    // The list's entry only: reaching for its block would wait on this
    // very miss, which is what the hint is meant to hide.
    if (const List* list = find(layer, node)) __builtin_prefetch(list);
}

BuildLists::Block* BuildLists::new_block(const List& list, std::uint32_t size) {
    // Twice the room needed, so a list that keeps growing is copied
    // O(log length) times and its replaced blocks total less than its last.
    const std::uint32_t capacity = std::max<std::uint32_t>(16, 2 * size);
    void* const raw = ::operator new(sizeof(Block) + std::size_t{capacity} * sizeof(std::uint32_t));
    Block* const block = new (raw) Block;
    block->size.store(0, std::memory_order_relaxed);
    block->capacity = capacity;
    block->replaced = list.owned.get();
    return block;
}

void BuildLists::publish(List& list, Block* block, std::uint32_t size) {
    block->size.store(size, std::memory_order_relaxed);
    (void)list.owned.release();  // now owned through block->replaced
    list.owned.reset(block);
    list.block.store(block, std::memory_order_release);
}

void BuildLists::set_chosen(std::uint32_t layer, std::uint32_t node, std::span<const std::uint32_t> chosen) {
    List* list = find(layer, node);
    if (list == nullptr) return;
    std::lock_guard lock(list->write);
    // Readers may be walking the current items, so the merged list goes
    // into a block of its own.
    const std::span<const std::uint32_t> held = read(layer, node);
    Block* const block = new_block(*list, static_cast<std::uint32_t>(chosen.size() + held.size()));
    std::uint32_t* const out = block->items();
    std::uint32_t size = 0;
    for (const std::uint32_t c : chosen) out[size++] = c;
    for (const std::uint32_t kept : held)
        if (std::find(chosen.begin(), chosen.end(), kept) == chosen.end()) out[size++] = kept;
    publish(*list, block, size);
}

void BuildLists::add_link(std::uint32_t layer, std::uint32_t node, std::uint32_t target) {
    List* list = find(layer, node);
    if (list == nullptr) return;
    std::lock_guard lock(list->write);
    const std::span<const std::uint32_t> held = read(layer, node);
    if (std::find(held.begin(), held.end(), target) != held.end()) return;
    const auto size = static_cast<std::uint32_t>(held.size());
    Block* const current = list->block.load(std::memory_order_relaxed);
    if (current != nullptr && size < current->capacity) {
        // Past every length a reader has seen: no reader looks at this item
        // until the release below hands it out.
        current->items()[size] = target;
        current->size.store(size + 1, std::memory_order_release);
        return;
    }
    Block* const block = new_block(*list, size + 1);
    std::copy(held.begin(), held.end(), block->items());
    block->items()[size] = target;
    publish(*list, block, size + 1);
}

std::vector<std::vector<NeighbourList>> BuildLists::take() {
    std::vector<std::vector<NeighbourList>> out(layers_.size());
    for (std::size_t l = 0; l < layers_.size(); ++l) {
        out[l].resize(node_count_);
        for (std::size_t i = 0; i < node_count_; ++i) {
            if (List* list = find(static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(i))) {
                const std::span<const std::uint32_t> items =
                    read(static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(i));
                out[l][i].assign(items.begin(), items.end());
                list->block.store(nullptr, std::memory_order_relaxed);
                list->owned.reset();
            }
        }
    }
    return out;
}

}  // namespace tessello
