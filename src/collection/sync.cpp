#include "collection/sync.h"

#include "collection/index_maintenance.h"
#include "collection/insert.h"
#include "storage/records_table.h"

namespace tessello {

Status sync_collection(Collection& core) {
    if (auto st = flush_pending(core); !st) return st;
    {
        std::shared_lock lock(core.vector_store_lock);
        if (auto st = core.vector_store.sync_vectors(); !st) return st;
    }
    // A configuration with HNSW parameters brings its graph up to date and
    // saves it; collections without them are done.
    if (!core.config.hnsw) return {};
    if (auto st = ensure_index(core); !st) return st;
    return save_index_of(core);
}

Result<std::uint64_t> collection_len(Collection& core) {
    std::uint64_t live = 0;
    {
        auto txn = begin_read_txn(*core.meta_db);
        if (!txn) return fail(txn.error());
        auto count = count_live_records(*txn);
        if (!count) return fail(count.error());
        live = *count;
    }
    std::lock_guard lock(core.pending_lock);
    return live + core.pending.size();
}

}  // namespace tessello
