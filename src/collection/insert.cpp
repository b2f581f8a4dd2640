#include "collection/insert.h"

#include <limits>

#include "base/clock.h"
#include "collection/slot_lease.h"
#include "collection/slot_release.h"
#include "collection/uuid_batch.h"
#include "json/json_writer.h"
#include "search/distance.h"
#include "storage/records_table.h"

namespace tessello {

Status validate_record_id(std::string_view id) {
    if (id.empty()) return fail(StoreError::InvalidInput, "Record identifier must not be empty");
    if (id.size() > kMaxRecordIdBytes)
        return fail(StoreError::InvalidInput, "Record identifier is " + std::to_string(id.size()) +
                                                  " bytes long; at most 511 bytes are allowed");
    return {};
}

Result<std::string> new_uuid_v4() {
    std::uint8_t b[16];
    if (auto st = fill_random(b, sizeof b); !st) return fail(st.error());
    return format_uuid_v4(b);
}

std::uint64_t expiry_time(std::uint64_t created_at, std::uint64_t ttl_secs) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return ttl_secs > max - created_at ? max : created_at + ttl_secs;
}

Result<std::uint64_t> allocate_slot(Collection& core) {
    if (auto slot = core.free_list_.exclusive()->take_last()) return *slot;
    return core.vector_store_.exclusive()->append_slot();
}

struct Collection::FlushSteps {
    static bool due(Collection& core) {
        auto pending = core.pending_.exclusive();
        // Entries a flush is writing already do not count: the rule looks at
        // what waits to be taken.
        const std::size_t n = pending->queued.size();
        if (n == 0) return false;
        if (n >= core.batch_size_) return true;
        const std::uint64_t now = wall_clock_ms();
        const std::uint64_t first = core.first_pending_ms_.load();
        const std::uint64_t age = now > first ? now - first : 0;
        return age >= core.flush_interval_ms_;
    }

    // Marks every queued entry as being written by this flush; they stay in
    // the buffer. Nothing when none waits.
    static std::shared_ptr<const std::vector<PendingWrite>> take(Collection& core) {
        auto pending = core.pending_.exclusive();
        if (pending->queued.empty()) return nullptr;
        auto taken = std::make_shared<const std::vector<PendingWrite>>(std::move(pending->queued));
        pending->queued.clear();
        pending->writing = taken;
        return taken;
    }

    // Puts the records of a failed flush back into the queue, at its front and
    // in their order, so that no add that already returned loses its record.
    // The record of the add that set the flush off is dropped instead and its
    // slot freed. Returns whether that record was among the taken ones.
    static bool restore_after_failed_flush(Collection& core, std::optional<std::uint64_t> trigger) {
        auto pending = core.pending_.exclusive();
        std::vector<PendingWrite> taken(pending->writing->begin(), pending->writing->end());
        pending->writing.reset();
        bool dropped = false;
        if (trigger) {
            for (auto it = taken.begin(); it != taken.end(); ++it) {
                if (it->ticket != *trigger) continue;
                const std::uint64_t slot = it->record.slot;
                taken.erase(it);
                core.give_back_slot(slot);
                dropped = true;
                break;
            }
        }
        if (taken.empty()) return dropped;
        if (pending->queued.empty() && core.first_pending_ms_.load() == 0)
            core.first_pending_ms_.exchange(wall_clock_ms());
        taken.insert(taken.end(), std::make_move_iterator(pending->queued.begin()),
                     std::make_move_iterator(pending->queued.end()));
        pending->queued = std::move(taken);
        return dropped;
    }

    // Each taken entry's slot is its own while it is buffered: a delete that
    // takes an entry out of the queue gives its slot back, but never one a
    // flush has taken.
    static Status write_vectors(Collection& core, const std::vector<PendingWrite>& taken) {
        std::vector<std::uint64_t> slots;
        std::vector<std::span<const float>> vectors;
        slots.reserve(taken.size());
        vectors.reserve(taken.size());
        for (const PendingWrite& entry : taken) {
            slots.push_back(entry.record.slot);
            vectors.push_back(entry.vector);
        }
        return core.vector_store_.exclusive()->write_slots(slots, vectors);
    }

    // Stores the taken records in one transaction. A record stored under an
    // identifier that already names a record (stored before, or earlier in
    // this flush) replaces it, and the replaced record's slot is given back
    // as a delete gives it: listed free in the list this transaction stores,
    // then, after the commit, marked deleted, hidden from the graph and
    // handed out again (`replaced`). A Tombstone's slot went back when it
    // became one, and a slot beyond the vector file is nobody's: neither is
    // given back again.
    //
    // The commit and the removal of the entries from the buffer happen under
    // visibility_lock held exclusively, taken only once the records are
    // written, so that a reader waits for one commit at most and never finds
    // a record in both places or in neither.
    // The vectors of the taken entries go into their slots first, in one
    // positional write per run of consecutive slots, and are synced with
    // everything written before them.
    static Status write_taken(Collection& core, const std::vector<PendingWrite>& taken,
                              std::vector<std::uint64_t>& replaced) {
        if (auto st = write_vectors(core, taken); !st) return st;
        if (auto st = core.vector_store_.shared()->sync_vectors(); !st) return st;
        if (core.config.hnsw) core.index_dirty_.exchange(true);
        std::optional<Guarded<std::monostate, FairSharedMutex, CoreLock::Visibility>::Exclusive> publishing;
        std::vector<MirrorChange> changes;
        std::uint64_t commit = 0;
        auto stored = core.write_txn([&](WriteTxn& txn) -> Status {
            replaced.clear();
            changes.clear();
            // Read once the transaction runs, so that a record committed by a
            // batch while this flush waited names a slot below the count.
            const std::uint64_t slots = core.vector_store_.shared()->slot_count();
            for (const PendingWrite& entry : taken) {
                auto current = get_record(txn, entry.record.id);
                if (!current) return fail(current.error());
                changes.push_back(MirrorChange{entry.record.id,
                                               *current ? std::optional((*current)->slot) : std::nullopt,
                                               &entry.record});
                if (*current && (*current)->state != RecordState::Tombstone && (*current)->slot < slots &&
                    (*current)->slot != entry.record.slot)
                    replaced.push_back((*current)->slot);
                if (auto st = put_record(txn, entry.record); !st) return st;
            }
            if (auto st = core.persist_free_list(txn, replaced); !st) return st;
            commit = txn.snapshot_id();
            if (!publishing) publishing.emplace(core.visibility_, std::source_location::current());
            return {};
        });
        if (stored) {
            // Still under visibility_lock: a search that sees this commit
            // finds the mirror holding it.
            core.note_committed(commit, changes);
            core.pending_.exclusive()->writing.reset();
        }
        publishing.reset();
        if (!stored) return stored;
        // Once more after the commit: index maintenance that ran in between saw
        // the table without these records and cleared the flag.
        if (core.config.hnsw) core.index_dirty_.exchange(true);
        return {};
    }
};

Status flush_pending(Collection& core, std::optional<std::uint64_t> trigger) {
    auto one_flush = core.flush_.exclusive();
    auto taken = Collection::FlushSteps::take(core);
    if (!taken) return {};
    std::vector<std::uint64_t> replaced;
    auto status = Collection::FlushSteps::write_taken(core, *taken, replaced);
    if (!status) {
        const bool dropped = Collection::FlushSteps::restore_after_failed_flush(core, trigger);
        // An add whose own record was not in this flush (another flush already
        // stored it, or a delete removed it) loses nothing by the failure.
        if (trigger && !dropped) return {};
        return status;
    }
    core.first_pending_ms_.exchange(0);
    for (std::uint64_t slot : replaced) release_slot(core, slot);
    return {};
}

Result<std::string> insert_record(Collection& core, std::span<const float> vector, JsonText metadata,
                                  std::optional<std::string> id, std::optional<std::uint64_t> ttl_secs) {
    if (vector.size() != core.config.dimensions)
        return fail(StoreError::dimension_mismatch(core.config.dimensions, vector.size()));
    if (id) {
        if (auto st = validate_record_id(*id); !st) return fail(st.error());
    } else {
        auto made = new_uuid_v4();
        if (!made) return fail(made.error());
        id = std::move(*made);
    }
    std::vector<float> prepared = normalize(core.config.metric, vector);

    SlotLease lease(core);
    auto slot = lease.take();
    if (!slot) return fail(slot.error());
    // The vector waits in the buffer with its record and goes into the slot
    // with the flush that stores them: one write for the whole flush, not
    // one per add. Readers of a buffered record read the buffer's copy.
    if (auto st = core.vector_store_.shared()->read_slot(*slot); !st) {
        // Listed free beyond the vector file: a slot nobody can use, so it
        // does not go back.
        lease.release();
        return fail(st.error());
    }

    Record record;
    record.id = *id;
    record.slot = *slot;
    record.created_at = now_unix_secs();
    record.metadata = std::move(metadata.text);
    if (ttl_secs) record.expires_at = expiry_time(record.created_at, *ttl_secs);
    record.state = RecordState::Active;
    const std::uint64_t ticket = core.next_ticket_.fetch_add(1);
    {
        auto pending = core.pending_.exclusive();
        if (pending->queued.empty()) core.first_pending_ms_.exchange(wall_clock_ms());
        pending->queued.push_back(PendingWrite{std::move(record), std::move(prepared), ticket});
    }
    // The buffered record holds the slot now; a failed flush decides its fate.
    lease.release();

    if (Collection::FlushSteps::due(core)) {
        if (auto st = flush_pending(core, ticket); !st) return fail(st.error());
    }
    return std::move(*id);
}

}  // namespace tessello
