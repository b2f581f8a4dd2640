#include "collection/slot_release.h"

#include "collection/index_maintenance.h"

namespace tessello {

bool release_slot(Collection& core, std::uint64_t slot) {
    bool marked = false;
    {
        auto vectors = core.vector_store_.exclusive();
        if (slot < vectors->slot_count() && !is_deleted_mark(vectors->slot_view(slot))) {
            (void)vectors->mark_deleted(slot);
            marked = true;
        }
    }
    if (core.config.hnsw) mask_deleted_slot(core, slot);
    core.free_list_.exclusive()->release(slot);
    return marked;
}

}  // namespace tessello
