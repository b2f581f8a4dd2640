#include "collection/compaction.h"

#include "base/clock.h"
#include "collection/slot_release.h"
#include "storage/records_table.h"

namespace tessello {

namespace {

struct Removal {
    std::string id;
    std::uint64_t slot;
    bool expired;  // counted as expired, else as a tombstone
};

}  // namespace

struct Collection::CompactionSteps {
    static Result<std::vector<Removal>> removals(Collection& core, CompactStats& stats) {
        std::vector<Removal> work;
        auto txn = core.read_txn();
        if (!txn) return fail(txn.error());
        auto st = for_each_record(*txn, [&](const RecordView& r) -> Status {
            const bool expired = is_expired_at(r.expires_at, now_unix_secs());
            if (expired)
                ++stats.expired_removed;
            else if (r.state == RecordState::Tombstone)
                ++stats.tombstones_removed;
            else
                return {};
            work.push_back(Removal{std::string(r.id), r.slot, expired});
            return {};
        });
        if (!st) return fail(st.error());
        return work;
    }

    // Removes one record in a transaction of its own. Returns the slot it gave
    // back, if any. The record is read again under the writer lock: one that was
    // replaced or changed since the walk (an upsert of the same identifier, say)
    // is not removed.
    static Result<std::optional<std::uint64_t>> remove(Collection& core, const Removal& item, CompactStats& stats) {
        bool removed = false;
        std::optional<std::uint64_t> freed;
        std::uint64_t commit = 0;
        auto st = core.write_txn([&](WriteTxn& txn) -> Status {
            removed = false;
            freed.reset();
            auto current = get_record(txn, item.id);
            if (!current) return fail(current.error());
            const std::optional<Record>& r = *current;
            if (!r || r->slot != item.slot ||
                !(is_expired_at(r->expires_at, now_unix_secs()) || r->state == RecordState::Tombstone))
                return {};
            // A Tombstone gave its slot back when it became one, and a slot
            // beyond the file is nobody's to hand out.
            bool frees = r->state != RecordState::Tombstone;
            if (frees) frees = item.slot < core.vector_store_.shared()->slot_count();
            if (frees) freed = item.slot;
            if (auto gone = remove_record(txn, item.id); !gone) return fail(gone.error());
            removed = true;
            commit = txn.snapshot_id();
            return core.persist_free_list(txn, freed);
        });
        if (!st) return fail(st.error());
        if (removed) {
            const MirrorChange gone{item.id, item.slot, nullptr};
            core.note_committed(commit, std::span(&gone, 1));
        }
        if (!removed) {
            --(item.expired ? stats.expired_removed : stats.tombstones_removed);
            return std::optional<std::uint64_t>{};
        }
        if (freed && release_slot(core, *freed)) stats.bytes_freed += core.config.dimensions * 4;
        return freed;
    }
};

Result<CompactStats> compact_collection(Collection& core) {
    const std::uint64_t start = monotonic_ms();
    CompactStats stats;
    auto work = Collection::CompactionSteps::removals(core, stats);
    if (!work) return fail(work.error());
    bool gave_back = false;
    for (const Removal& item : *work) {
        auto freed = Collection::CompactionSteps::remove(core, item, stats);
        if (!freed) return fail(freed.error());
        gave_back |= freed->has_value();
    }
    // The last slot given back reached the in-memory list after its commit.
    if (gave_back) {
        std::uint64_t commit = 0;
        auto st = core.write_txn([&](WriteTxn& txn) {
            commit = txn.snapshot_id();
            return core.persist_free_list(txn);
        });
        if (!st) return fail(st.error());
        core.note_committed(commit);
    }
    stats.duration_ms = elapsed_ms(start);
    return stats;
}

}  // namespace tessello
