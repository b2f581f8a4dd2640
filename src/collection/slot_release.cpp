#include "collection/slot_release.h"

#include <algorithm>

#include "collection/index_maintenance.h"
#include "storage/freelist.h"

namespace tessello {

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
    core.free_list.push_if_absent(slot);
    return marked;
}

}  // namespace tessello
