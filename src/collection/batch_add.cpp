#include "collection/batch_add.h"

#include "collection/insert.h"
#include "collection/slot_lease.h"
#include "collection/slot_release.h"
#include "json/json_writer.h"
#include "search/distance.h"
#include "storage/records_table.h"

namespace tessello {

namespace {

Status check(const Collection& core, const BatchInput& b) {
    const std::size_t n = b.rows.size();
    if (b.metadata.size() != n) return fail(StoreError::InvalidInput, "vectors and metadatas must have same length");
    if (b.ids && b.ids->size() != n) return fail(StoreError::InvalidInput, "ids must have same length as vectors");
    if (b.ttls && b.ttls->size() != n) return fail(StoreError::InvalidInput, "ttls must have same length as vectors");
    for (const auto& row : b.rows)
        if (row.size() != core.config.dimensions)
            return fail(StoreError::dimension_mismatch(core.config.dimensions, row.size()));
    if (b.ids)
        for (const auto& id : *b.ids)
            if (auto st = validate_record_id(id); !st) return st;
    return {};
}

}  // namespace

struct Collection::BatchSteps {
    // Stores the records as Pending. A record stored under an identifier that
    // already names a record (stored before, or earlier in this batch)
    // replaces it, and the replaced record's slot is given back as a delete
    // gives it: listed free in the list this transaction stores, the rest
    // after the commit (`replaced`). Tombstones and slots beyond the vector
    // file give nothing back.
    static Status store_pending(Collection& core, const std::vector<Record>& records,
                                std::vector<std::uint64_t>& replaced) {
        // Slots only ever grow in number: one below this count now is below
        // it when the transaction runs.
        const std::uint64_t slots = core.vector_store_.shared()->slot_count();
        std::vector<MirrorChange> changes;
        std::uint64_t commit = 0;
        auto stored = core.write_txn([&](WriteTxn& txn) -> Status {
            replaced.clear();
            changes.clear();
            for (const Record& r : records) {
                auto current = get_record(txn, r.id);
                if (!current) return fail(current.error());
                changes.push_back(
                    MirrorChange{r.id, *current ? std::optional((*current)->slot) : std::nullopt, &r});
                if (*current && (*current)->state != RecordState::Tombstone && (*current)->slot < slots &&
                    (*current)->slot != r.slot)
                    replaced.push_back((*current)->slot);
                if (auto st = put_record(txn, r); !st) return st;
            }
            commit = txn.snapshot_id();
            return core.persist_free_list(txn, replaced);
        });
        if (stored) core.note_committed(commit, changes);
        return stored;
    }

    static Status write_vectors(Collection& core, const std::vector<std::vector<float>>& rows,
                                const std::vector<std::uint64_t>& slots) {
        auto vectors = core.vector_store_.exclusive();
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (auto st = vectors->write_slot(slots[i], rows[i]); !st) return st;
        return {};
    }

    static Status sync_vectors(Collection& core) { return core.vector_store_.exclusive()->sync_vectors(); }

    // Rewrites whatever is stored under each identifier as Active.
    static Status activate(Collection& core, const std::vector<std::string>& ids) {
        std::vector<Record> active;
        std::uint64_t commit = 0;
        auto stored = core.write_txn([&](WriteTxn& txn) -> Status {
            active.clear();
            for (const std::string& id : ids) {
                auto record = get_record(txn, id);
                if (!record) return fail(record.error());
                if (!*record) continue;
                (*record)->state = RecordState::Active;
                if (auto st = put_record(txn, **record); !st) return st;
                active.push_back(std::move(**record));
            }
            commit = txn.snapshot_id();
            return {};
        });
        // A transaction that wrote nothing committed no new state.
        if (stored && !active.empty()) {
            std::vector<MirrorChange> changes;
            for (const Record& r : active) changes.push_back(MirrorChange{r.id, r.slot, &r});
            core.note_committed(commit, changes);
        }
        return stored;
    }
};

Result<std::vector<std::string>> add_batch_records(Collection& core, BatchInput batch) {
    if (auto st = check(core, batch); !st) return fail(st.error());
    const Metric metric = core.config.metric;
    for (auto& row : batch.rows) row = normalize(metric, row);

    const std::size_t n = batch.rows.size();
    std::vector<std::string> ids;
    std::vector<Record> records;
    std::vector<std::uint64_t> slots;
    ids.reserve(n);
    records.reserve(n);
    slots.reserve(n);
    // Until the records that name them are stored, the slots are nobody's:
    // a failure before that gives them all back.
    SlotLease lease(core);
    for (std::size_t i = 0; i < n; ++i) {
        std::string id;
        if (batch.ids) {
            id = std::move((*batch.ids)[i]);
        } else {
            auto made = new_uuid_v4();
            if (!made) return fail(made.error());
            id = std::move(*made);
        }
        auto slot = lease.take();
        if (!slot) return fail(slot.error());
        Record r;
        r.id = id;
        r.slot = *slot;
        r.created_at = now_unix_secs();
        r.metadata = to_json_text(batch.metadata[i]);
        if (batch.ttls && (*batch.ttls)[i]) r.expires_at = expiry_time(r.created_at, *(*batch.ttls)[i]);
        r.state = RecordState::Pending;
        records.push_back(std::move(r));
        ids.push_back(std::move(id));
        slots.push_back(*slot);
    }

    // The vectors go in while the slots are the lease's alone. Once the
    // records are stored, another thread may replace or delete one of them
    // and hand its slot to a new record, whose vector a later write would
    // overwrite. A write that fails (a slot beyond the file) is reported once
    // the records are stored, as a failure after that point would be.
    const Status written = Collection::BatchSteps::write_vectors(core, batch.rows, slots);
    std::vector<std::uint64_t> replaced;
    if (auto st = Collection::BatchSteps::store_pending(core, records, replaced); !st) return fail(st.error());
    // From here the stored records name their slots; a failure leaves them
    // Pending, which no reader returns, and their slots with them.
    lease.release();
    for (std::uint64_t slot : replaced) release_slot(core, slot);
    if (!written) return fail(written.error());
    if (auto st = Collection::BatchSteps::sync_vectors(core); !st) return fail(st.error());
    if (core.config.hnsw) core.index_dirty_.exchange(true);
    if (auto st = Collection::BatchSteps::activate(core, ids); !st) return fail(st.error());
    if (core.config.hnsw) core.index_dirty_.exchange(true);
    return ids;
}

}  // namespace tessello
