#include "collection/sync.h"

#include "collection/index_maintenance.h"
#include "collection/insert.h"
#include "storage/records_table.h"

namespace tessello {

Status sync_collection(Collection& core) {
    if (auto st = flush_pending(core); !st) return st;
    if (auto st = core.vector_store_.shared()->sync_vectors(); !st) return st;
    // A configuration with HNSW parameters brings its graph up to date and
    // saves it; collections without them are done.
    if (!core.config.hnsw) return {};
    if (auto st = ensure_index(core); !st) return st;
    return save_index_of(core);
}

Result<std::uint64_t> collection_len(Collection& core) {
    std::uint64_t live = 0;
    {
        auto txn = core.read_txn();
        if (!txn) return fail(txn.error());
        auto count = count_live_records(*txn);
        if (!count) return fail(count.error());
        live = *count;
    }
    return live + core.pending_.exclusive()->size();
}

}  // namespace tessello
