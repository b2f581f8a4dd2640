#include "collection/compaction.h"

#include <ctime>

#include "storage/records_table.h"

namespace tessello {

struct timespec monotonic_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

std::uint64_t elapsed_ms(const struct timespec& start) {
    const struct timespec now = monotonic_now();
    const auto to_ms = [](const struct timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    const std::int64_t d = to_ms(now) - to_ms(start);
    return d < 0 ? 0 : static_cast<std::uint64_t>(d);
}

namespace {

struct Removal {
    std::string id;
    std::uint64_t slot;
    bool frees_slot;  // false for a Tombstone, whose slot went back before
};

Result<std::vector<Removal>> removals(Collection& core, CompactStats& stats) {
    std::vector<Removal> work;
    auto txn = begin_read_txn(*core.meta_db);
    if (!txn) return fail(txn.error());
    auto st = for_each_record(*txn, [&](const RecordView& r) -> Status {
        const bool tombstone = r.state == RecordState::Tombstone;
        if (r.expires_at && now_unix_secs() >= *r.expires_at)
            ++stats.expired_removed;
        else if (tombstone)
            ++stats.tombstones_removed;
        else
            return {};
        work.push_back(Removal{std::string(r.id), r.slot, !tombstone});
        return {};
    });
    if (!st) return fail(st.error());
    return work;
}

Status remove(Collection& core, const Removal& item, CompactStats& stats) {
    bool marked = false;
    bool in_file = false;
    std::uint32_t previous_first = 0;
    {
        std::unique_lock lock(core.vector_store_lock);
        in_file = item.slot < core.vector_store.slot_count();
        if (in_file && item.frees_slot && !is_deleted_mark(core.vector_store.slot_view(item.slot))) {
            previous_first = core.vector_store.first_bits(item.slot);
            (void)core.vector_store.mark_deleted(item.slot);
            marked = true;
            stats.bytes_freed += core.config.dimensions * 4;
        }
    }
    const bool frees = in_file && item.frees_slot;
    bool listed = false;
    {
        std::shared_lock lock(core.free_list_lock);
        listed = core.free_list.contains(item.slot);
    }
    auto undo = [&] {
        if (!marked) return;
        std::unique_lock lock(core.vector_store_lock);
        core.vector_store.set_first_bits(item.slot, previous_first);
        stats.bytes_freed -= core.config.dimensions * 4;
    };

    auto txn = begin_write_txn(*core.meta_db);
    if (!txn) {
        undo();
        return fail(txn.error());
    }
    Status status;
    if (auto removed = remove_record(*txn, item.id); !removed) status = fail(removed.error());
    if (status) {
        std::vector<std::uint64_t> slots;
        {
            std::shared_lock lock(core.free_list_lock);
            slots = core.free_list.entries();
        }
        if (frees && !listed) slots.push_back(item.slot);
        status = txn->put(kFreelistTable, kFreelistKey, encode_freelist(slots));
    }
    if (status) status = txn->commit();
    if (!status) {
        undo();
        return status;
    }
    if (frees && !listed) {
        std::unique_lock lock(core.free_list_lock);
        if (!core.free_list.contains(item.slot)) freelist_push(core.free_list, item.slot);
    }
    return {};
}

}  // namespace

Result<CompactStats> compact_collection(Collection& core) {
    const struct timespec start = monotonic_now();
    CompactStats stats;
    auto work = removals(core, stats);
    if (!work) return fail(work.error());
    for (const Removal& item : *work)
        if (auto st = remove(core, item, stats); !st) return fail(st.error());
    stats.duration_ms = elapsed_ms(start);
    return stats;
}

}  // namespace tessello
