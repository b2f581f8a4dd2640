#include "collection/slot_release.h"

#include <algorithm>

#include "collection/index_maintenance.h"
#include "storage/freelist.h"

namespace tessello {

std::vector<std::uint8_t> freelist_with(Collection& core, std::optional<std::uint64_t> slot) {
    std::shared_lock lock(core.free_list_lock);
    std::vector<std::uint64_t> slots = core.free_list.entries();
    if (slot && std::find(slots.begin(), slots.end(), *slot) == slots.end()) slots.push_back(*slot);
    return encode_freelist(slots);
}

bool release_slot(Collection& core, std::uint64_t slot) {
    bool marked = false;
    {
        std::unique_lock lock(core.vector_store_lock);
        if (slot < core.vector_store.slot_count() && !is_deleted_mark(core.vector_store.slot_view(slot))) {
            (void)core.vector_store.mark_deleted(slot);
            marked = true;
        }
    }
    if (core.config.hnsw) mask_deleted_slot(core, slot);
    std::unique_lock lock(core.free_list_lock);
    if (!core.free_list.contains(slot)) freelist_push(core.free_list, slot);
    return marked;
}

}  // namespace tessello
