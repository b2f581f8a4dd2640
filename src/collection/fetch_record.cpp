#include "collection/fetch_record.h"

#include "storage/records_table.h"

namespace tessello {

Result<std::optional<SearchHit>> fetch_record(Collection& core, std::string_view id) {
    {
        auto pending = core.pending_.exclusive();
        for (const PendingWrite& entry : *pending) {
            const Record& r = entry.record;
            if (r.id != id || !is_record_live(r, now_unix_secs())) continue;
            return std::optional<SearchHit>(SearchHit{r.id, metadata_value(r.metadata), 0.0f});
        }
    }
    auto txn = core.read_txn();
    if (!txn) return fail(txn.error());
    auto found = get_record(*txn, id);
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
