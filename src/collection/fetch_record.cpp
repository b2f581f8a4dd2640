#include "collection/fetch_record.h"

#include "storage/records_table.h"

namespace tessello {

namespace {

struct BufferedMatch {
    std::string id;
    std::string metadata;
};

}  // namespace

Result<std::optional<SearchHit>> fetch_record(Collection& core, std::string_view id) {
    // The read transaction is begun and the buffer looked at as one step: a
    // flush's commit falls before both or after both, so a record it writes
    // is in the buffer or in the table this transaction sees.
    std::optional<Result<CoreReadTxn>> txn;
    std::optional<BufferedMatch> match;
    {
        auto view = core.visibility_.shared();
        txn.emplace(core.read_txn());
        auto pending = core.pending_.exclusive();
        pending->for_each([&](const PendingWrite& entry) {
            const Record& r = entry.record;
            if (match || r.id != id || !is_record_live(r, now_unix_secs())) return;
            match = BufferedMatch{r.id, r.metadata};
        });
    }
    if (match) return std::optional<SearchHit>(SearchHit{std::move(match->id), metadata_value(match->metadata), 0.0f});
    if (!*txn) return fail(txn->error());
    auto found = get_record(**txn, id);
    if (!found) return fail(found.error());
    if (!*found) return std::optional<SearchHit>{};
    const Record& r = **found;
    if (!is_record_live(r, now_unix_secs())) return std::optional<SearchHit>{};

    auto vectors = core.vector_store_.shared();
    auto slot = vectors->read_slot(r.slot);
    if (!slot) return fail(slot.error());
    if (is_deleted_mark(*slot)) return std::optional<SearchHit>{};
    return std::optional<SearchHit>(SearchHit{r.id, metadata_value(r.metadata), 0.0f});
}

}  // namespace tessello
