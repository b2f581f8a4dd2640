#include "collection/sync.h"

#include "collection/index_maintenance.h"
#include "collection/insert.h"
#include "collection/mirror_search.h"
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
    // The transaction begins and the buffer is counted as one step, so a
    // record a flush is writing counts once: buffered before its commit,
    // stored after it.
    std::optional<Result<CoreReadTxn>> txn;
    std::uint64_t buffered = 0;
    {
        auto view = core.visibility_.shared();
        txn.emplace(core.read_txn());
        if (!*txn) return fail(txn->error());
        buffered = core.pending_.exclusive()->size();
    }
    auto mirrored = mirrored_live_count(core, **txn);
    auto live = mirrored ? std::move(*mirrored) : count_live_records(**txn);
    if (!live) return fail(live.error());
    return *live + buffered;
}

}  // namespace tessello
