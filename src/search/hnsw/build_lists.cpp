#include "search/hnsw/build_lists.h"

#include <algorithm>
#include <mutex>

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

BuildLists::List* BuildLists::find(std::uint32_t layer, std::uint32_t node) const {
    if (layer >= layers_.size() || node >= node_count_) return nullptr;
    const Layer& l = layers_[layer];
    if (layer == 0) return &l.lists[node];
    const std::uint32_t at = l.position[node];
    return at == kAbsent ? nullptr : &l.lists[at];
}

void BuildLists::copy(std::uint32_t layer, std::uint32_t node, NeighbourList& out) const {
    out.clear();
    const List* list = find(layer, node);
    if (list == nullptr) return;
    std::shared_lock lock(list->lock);
    out.assign(list->items.begin(), list->items.end());
}

bool BuildLists::empty(std::uint32_t layer, std::uint32_t node) const {
    const List* list = find(layer, node);
    if (list == nullptr) return true;
    std::shared_lock lock(list->lock);
    return list->items.empty();
}

void BuildLists::set_chosen(std::uint32_t layer, std::uint32_t node, std::span<const std::uint32_t> chosen) {
    List* list = find(layer, node);
    if (list == nullptr) return;
    std::unique_lock lock(list->lock);
    NeighbourList merged(chosen.begin(), chosen.end());
    for (const std::uint32_t kept : list->items)
        if (std::find(chosen.begin(), chosen.end(), kept) == chosen.end()) merged.push_back(kept);
    list->items = std::move(merged);
}

void BuildLists::add_link(std::uint32_t layer, std::uint32_t node, std::uint32_t target) {
    List* list = find(layer, node);
    if (list == nullptr) return;
    std::unique_lock lock(list->lock);
    if (std::find(list->items.begin(), list->items.end(), target) == list->items.end()) list->items.push_back(target);
}

std::vector<std::vector<NeighbourList>> BuildLists::take() {
    std::vector<std::vector<NeighbourList>> out(layers_.size());
    for (std::size_t l = 0; l < layers_.size(); ++l) {
        out[l].resize(node_count_);
        for (std::size_t i = 0; i < node_count_; ++i) {
            if (List* list = find(static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(i))) {
                out[l][i] = std::move(list->items);
            }
        }
    }
    return out;
}

}  // namespace tessello
