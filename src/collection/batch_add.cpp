#include "collection/batch_add.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "collection/insert.h"
#include "collection/slot_lease.h"
#include "collection/slot_release.h"
#include "collection/uuid_batch.h"
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
    for (std::size_t i = 0; i < n; ++i)
        if (b.rows[i].size() != core.config.dimensions)
            return fail(StoreError::dimension_mismatch(core.config.dimensions, b.rows[i].size()));
    if (b.ids)
        for (const auto& id : *b.ids)
            if (auto st = validate_record_id(id); !st) return st;
    return {};
}

}  // namespace

struct Collection::BatchSteps {
    // The batch's vectors written into their slots and the vector file
    // synced, on a thread of its own while the caller makes the puts of the
    // transaction that must not commit before they are durable; durable()
    // waits for both. A small batch does both at once on the calling thread.
    // Lives shorter than the lease of the slots it writes: no write lands in
    // a slot after the lease has given it back.
    class Vectors {
    public:
        Vectors(Collection& core, const RowBlock& rows, const std::vector<std::uint64_t>& slots) {
            auto work = [&core, &rows, &slots, this] {
                status_ = core.vector_store_.exclusive()->write_slots(slots, rows);
                if (status_) status_ = core.vector_store_.shared()->sync_vectors();
            };
            if (rows.size() >= kOwnThreadRows) {
                try {
                    thread_ = std::thread(work);
                    return;
                } catch (const std::system_error&) {
                    // No thread to be had: the work runs here instead.
                }
            }
            work();
        }
        ~Vectors() { join(); }
        Vectors(const Vectors&) = delete;
        Vectors& operator=(const Vectors&) = delete;

        // The outcome of the write and the sync, the same on every call.
        const Status& durable() {
            join();
            return status_;
        }

    private:
        // Below this many rows a thread costs more than the overlap saves.
        static constexpr std::size_t kOwnThreadRows = 1024;

        void join() {
            if (thread_.joinable()) thread_.join();
        }

        Status status_;
        std::thread thread_;
    };

    // How many puts ahead a record is asked for.
    static constexpr std::size_t kAheadRecords = 16;

    // Stores the records, Active, in one transaction that commits only once
    // `vectors` are durable. A record stored under an identifier that
    // already names a record (stored before, or earlier in this batch)
    // replaces it, and the replaced record's slot is given back as a delete
    // gives it: listed free in the list this transaction stores, the rest
    // after the commit (`replaced`, in batch order). Tombstones and slots
    // beyond the vector file give nothing back.
    //
    // The records go in in identifier order (`order`), which gives the same
    // table as batch order; the replaced slots are still listed in batch order.
    static Status store(Collection& core, const std::vector<Record>& records, const std::vector<std::size_t>& order,
                        Vectors& vectors, std::vector<std::uint64_t>& replaced) {
        struct Found {
            std::size_t row;
            std::uint64_t slot;
        };
        std::vector<Found> found;
        std::vector<MirrorChange> changes;
        std::uint64_t commit = 0;
        auto stored = core.write_txn([&](WriteTxn& txn) -> Status {
            replaced.clear();
            found.clear();
            changes.clear();
            if (!records.empty()) {
                auto table = RecordsWriter::open(txn);
                if (!table) return fail(table.error());
                changes.reserve(order.size());
                for (std::size_t at = 0; at < order.size(); ++at) {
                    // Identifier order visits the records, which lie in
                    // batch order, all over memory (random identifiers
                    // above all): each is asked for a few puts ahead, its
                    // strings once the record itself has come.
                    if (at + kAheadRecords < order.size()) __builtin_prefetch(&records[order[at + kAheadRecords]]);
                    if (at + kAheadRecords / 2 < order.size()) {
                        const Record& soon = records[order[at + kAheadRecords / 2]];
                        __builtin_prefetch(soon.id.data());
                        __builtin_prefetch(soon.metadata.data());
                    }
                    const std::size_t i = order[at];
                    const Record& r = records[i];
                    auto current = table->put_replacing(r);
                    if (!current) return fail(current.error());
                    changes.push_back(
                        MirrorChange{r.id, *current ? std::optional((*current)->slot) : std::nullopt, &r});
                    if (*current && (*current)->state != RecordState::Tombstone && (*current)->slot != r.slot)
                        found.push_back(Found{i, (*current)->slot});
                }
            }
            // Read inside the transaction: every record it can see was
            // committed after its slot was allocated, so a slot at or past
            // this count is truly beyond the file, not one appended while
            // this transaction waited for the writer before it.
            const std::uint64_t slots = core.vector_store_.shared()->slot_count();
            std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.row < b.row; });
            for (const Found& f : found)
                if (f.slot < slots) replaced.push_back(f.slot);
            commit = txn.snapshot_id();
            if (auto st = core.persist_free_list(txn, replaced); !st) return st;
            return vectors.durable();
        });
        if (stored) core.note_committed(commit, changes);
        return stored;
    }
};

Result<std::vector<std::string>> add_batch_records(Collection& core, BatchInput batch) {
    if (auto st = check(core, batch); !st) return fail(st.error());
    const Metric metric = core.config.metric;
    for (std::size_t i = 0; i < batch.rows.size(); ++i) normalize_in_place(metric, batch.rows[i]);

    const std::size_t n = batch.rows.size();
    // Until the records that name them are stored, the slots are nobody's:
    // a failure before that gives them all back.
    SlotLease lease(core);
    lease.reserve(n);
    std::vector<std::uint64_t> slots;
    slots.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto slot = lease.take();
        if (!slot) return fail(slot.error());
        slots.push_back(*slot);
    }
    // All or nothing: the vectors are written into slots that are still the
    // lease's alone and synced (from here on, while the records are made and
    // put), and the records stored, Active, in one transaction that commits
    // only after the sync. A failure at any step leaves the table as it was
    // (a record already stored under one of the identifiers keeps its
    // contents) and the lease gives the slots back. A crash before the
    // commit leaves the records unstored; after it, their vectors are on disk.
    Collection::BatchSteps::Vectors vectors(core, batch.rows, slots);
    std::vector<Record> records;
    records.reserve(n);
    UuidBatch uuids(batch.ids ? 0 : n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string id;
        if (batch.ids) {
            id = std::move((*batch.ids)[i]);
        } else {
            auto made = uuids.next();
            if (!made) return fail(made.error());
            id = std::move(*made);
        }
        Record r;
        r.id = std::move(id);
        r.slot = slots[i];
        r.created_at = now_unix_secs();
        r.metadata = std::move(batch.metadata[i].text);
        if (batch.ttls && (*batch.ttls)[i]) r.expires_at = expiry_time(r.created_at, *(*batch.ttls)[i]);
        r.state = RecordState::Active;
        records.push_back(std::move(r));
    }
    const std::vector<std::size_t> order = in_id_order(n, [&](std::size_t i) -> const std::string& {
        return records[i].id;
    });
    std::vector<std::uint64_t> replaced;
    if (auto st = Collection::BatchSteps::store(core, records, order, vectors, replaced); !st) return fail(st.error());
    // The vectors are durable and their thread has ended (store waited on
    // it): no write of theirs can land in a slot the lease lets go of.
    lease.release();
    for (std::uint64_t slot : replaced) release_slot(core, slot);
    if (core.config.hnsw) core.index_dirty_.exchange(true);
    std::vector<std::string> ids;
    ids.reserve(n);
    for (Record& r : records) ids.push_back(std::move(r.id));
    return ids;
}

}  // namespace tessello
