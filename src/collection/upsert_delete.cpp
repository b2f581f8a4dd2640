#include "collection/upsert_delete.h"

#include "collection/insert.h"
#include "collection/slot_release.h"
#include "storage/records_table.h"

namespace tessello {

struct Collection::UpsertSteps {
    enum class Buffered { Removed, InFlight, Absent };

    // Takes the oldest buffered entry of id out of the buffer and frees its
    // slot (left unmarked: nothing stored points at it). An entry that a
    // flush is writing is left alone.
    static Buffered try_remove_buffered(Collection& core, std::string_view id) {
        auto pending = core.pending_.exclusive();
        // Entries being written are the oldest: the oldest of id is one of them.
        if (pending->in_flight(id)) return Buffered::InFlight;
        auto& queued = pending->queued;
        for (auto it = queued.begin(); it != queued.end(); ++it) {
            if (it->record.id != id) continue;
            const std::uint64_t slot = it->record.slot;
            queued.erase(it);
            core.give_back_slot(slot);
            return Buffered::Removed;
        }
        return Buffered::Absent;
    }

    // Whether a buffered entry of id was removed. When the oldest is being
    // written, waits for that flush to end first: once it has committed, the
    // record is stored and the buffer's next entry of id, if any, is the
    // oldest; once it has failed, the entry is queued again. Removing it
    // while it is written would let the flush store it again, and passing it
    // over would find it in neither place.
    static bool remove_buffered(Collection& core, std::string_view id) {
        Buffered found = try_remove_buffered(core, id);
        if (found == Buffered::InFlight) {
            auto no_flush = core.flush_.exclusive();
            found = try_remove_buffered(core, id);
        }
        return found == Buffered::Removed;
    }

    static Result<std::optional<Record>> stored_record(Collection& core, std::string_view id) {
        auto txn = core.read_txn();
        if (!txn) return fail(txn.error());
        return get_record(*txn, id);
    }
};

Result<bool> delete_slot(Collection& core, std::string_view id) {
    // Transaction 1. The record is read again under the writer lock: another
    // delete, upsert or compaction may have removed or replaced it since the
    // caller looked, and only the record stored now may give its slot back.
    std::optional<std::uint64_t> freed;
    bool found = false;
    Record record;
    std::uint64_t commit = 0;
    auto first = core.write_txn([&](WriteTxn& txn) -> Status {
        freed.reset();
        found = false;
        auto current = get_record(txn, id);
        if (!current) return fail(current.error());
        if (!*current) return {};
        found = true;
        record = std::move(**current);
        if (record.slot >= core.vector_store_.shared()->slot_count())
            return fail(StoreError::RecordNotFound, "Slot " + std::to_string(record.slot) + " not allocated");
        // A Tombstone gave its slot back when it became one; the slot may
        // hold another record's vector by now.
        if (record.state != RecordState::Tombstone) freed = record.slot;
        record.state = RecordState::Tombstone;
        if (auto st = put_record(txn, record); !st) return st;
        commit = txn.snapshot_id();
        return core.persist_free_list(txn, freed);
    });
    if (!first) return fail(first.error());
    if (!found) return false;
    const MirrorChange tombstoned{record.id, record.slot, &record};
    core.note_committed(commit, std::span(&tombstoned, 1));
    if (freed)
        release_slot(core, *freed);
    else if (core.config.hnsw)
        core.index_dirty_.exchange(true);

    // Transaction 2, which also persists the list with the slot now in it.
    bool removed = false;
    auto second = core.write_txn([&](WriteTxn& txn) -> Status {
        auto gone = remove_record(txn, id);
        if (!gone) return fail(gone.error());
        removed = *gone;
        commit = txn.snapshot_id();
        return core.persist_free_list(txn);
    });
    if (!second) return fail(second.error());
    // It removed whatever the identifier named by then: the tombstone, or a
    // record a commit in between stored anew, which the mirror does not find
    // at the tombstone's slot (unless it took that slot), so that it waits
    // for a walk.
    const MirrorChange gone{record.id, record.slot, nullptr};
    core.note_committed(commit, removed ? std::span(&gone, 1) : std::span<const MirrorChange>());
    return true;
}

Result<bool> delete_record(Collection& core, std::string_view id) {
    if (Collection::UpsertSteps::remove_buffered(core, id)) return true;
    auto stored = Collection::UpsertSteps::stored_record(core, id);
    if (!stored) return fail(stored.error());
    if (!*stored) return false;
    return delete_slot(core, id);
}

Status upsert_record(Collection& core, std::string_view id, std::span<const float> vector, JsonText metadata,
                     std::optional<std::uint64_t> ttl_secs) {
    if (vector.size() != core.config.dimensions)
        return fail(StoreError::dimension_mismatch(core.config.dimensions, vector.size()));
    // Refused before anything is removed, so a failing upsert loses nothing.
    if (auto st = validate_record_id(id); !st) return st;
    Collection::UpsertSteps::remove_buffered(core, id);
    auto stored = Collection::UpsertSteps::stored_record(core, id);
    if (!stored) return fail(stored.error());
    if (*stored)
        if (auto removed = delete_slot(core, id); !removed) return fail(removed.error());
    auto added = insert_record(core, vector, std::move(metadata), std::string(id), ttl_secs);
    if (!added) return fail(added.error());
    return {};
}

}  // namespace tessello
