#include "collection/upsert_delete.h"

#include <algorithm>

#include "collection/index_maintenance.h"
#include "collection/insert.h"
#include "storage/records_table.h"

namespace tessello {

namespace {

// Takes the oldest buffered entry of id out of the buffer and frees its
// slot (left unmarked: nothing stored points at it). Whether there was one.
bool remove_buffered(Collection& core, std::string_view id) {
    std::lock_guard lock(core.pending_lock);
    for (auto it = core.pending.begin(); it != core.pending.end(); ++it) {
        if (it->record.id != id) continue;
        const std::uint64_t slot = it->record.slot;
        core.pending.erase(it);
        std::unique_lock free_lock(core.free_list_lock);
        if (!core.free_list.contains(slot)) freelist_push(core.free_list, slot);
        return true;
    }
    return false;
}

Result<std::optional<Record>> stored_record(Collection& core, std::string_view id) {
    auto txn = begin_read_txn(*core.meta_db);
    if (!txn) return fail(txn.error());
    return get_record(*txn, id);
}

// The free list as it will be once `slot` is freed.
std::vector<std::uint8_t> freelist_with(Collection& core, std::uint64_t slot, bool add) {
    std::shared_lock lock(core.free_list_lock);
    std::vector<std::uint64_t> slots = core.free_list.entries();
    if (add && std::find(slots.begin(), slots.end(), slot) == slots.end()) slots.push_back(slot);
    return encode_freelist(slots);
}

Status tombstone(Collection& core, std::string_view id, std::uint64_t slot, bool frees_slot) {
    auto txn = begin_write_txn(*core.meta_db);
    if (!txn) return fail(txn.error());
    if (auto found = set_record_state(*core.meta_db, *txn, id, RecordState::Tombstone); !found)
        return fail(found.error());
    if (auto st = txn->put(kFreelistTable, kFreelistKey, freelist_with(core, slot, frees_slot)); !st) return st;
    return txn->commit();
}

Status remove_stored(Collection& core, std::string_view id) {
    auto txn = begin_write_txn(*core.meta_db);
    if (!txn) return fail(txn.error());
    if (auto removed = remove_record(*txn, id); !removed) return fail(removed.error());
    return txn->commit();
}

}  // namespace

Status delete_slot(Collection& core, std::string_view id, std::uint64_t slot, RecordState state) {
    // A Tombstone's slot was freed when it became one; it may hold another
    // record's vector by now.
    const bool frees_slot = state != RecordState::Tombstone;
    std::uint32_t previous_first = 0;
    {
        std::unique_lock lock(core.vector_store_lock);
        if (slot >= core.vector_store.slot_count())
            return fail(StoreError::RecordNotFound, "Slot " + std::to_string(slot) + " not allocated");
        if (frees_slot) {
            previous_first = core.vector_store.first_bits(slot);
            if (auto st = core.vector_store.mark_deleted(slot); !st) return st;
        }
    }
    // The graph hides the slot from its searches (a Tombstone's slot is no
    // longer the record's to hide) and is marked for maintenance.
    std::optional<std::uint32_t> masked_node;
    if (core.config.hnsw) {
        if (frees_slot)
            masked_node = mask_deleted_slot(core, slot);
        else
            core.index_dirty.exchange(true);
    }

    if (auto st = tombstone(core, id, slot, frees_slot); !st) {
        if (frees_slot) {
            // The record still names the slot: take the mark and the mask back.
            {
                std::unique_lock lock(core.vector_store_lock);
                core.vector_store.set_first_bits(slot, previous_first);
            }
            if (core.config.hnsw) unmask_deleted_slot(core, slot, masked_node);
        }
        return st;
    }
    if (frees_slot) {
        std::unique_lock lock(core.free_list_lock);
        if (!core.free_list.contains(slot)) freelist_push(core.free_list, slot);
    }
    return remove_stored(core, id);
}

Result<bool> delete_record(Collection& core, std::string_view id) {
    if (remove_buffered(core, id)) return true;
    auto stored = stored_record(core, id);
    if (!stored) return fail(stored.error());
    if (!*stored) return false;
    if (auto st = delete_slot(core, id, (*stored)->slot, (*stored)->state); !st) return fail(st.error());
    return true;
}

Status upsert_record(Collection& core, std::string_view id, std::span<const float> vector, JsonValue metadata,
                     std::optional<std::uint64_t> ttl_secs) {
    if (vector.size() != core.config.dimensions)
        return fail(StoreError::dimension_mismatch(core.config.dimensions, vector.size()));
    // Refused before anything is removed, so a failing upsert loses nothing.
    if (auto st = validate_record_id(id); !st) return st;
    remove_buffered(core, id);
    auto stored = stored_record(core, id);
    if (!stored) return fail(stored.error());
    if (*stored)
        if (auto st = delete_slot(core, id, (*stored)->slot, (*stored)->state); !st) return st;
    auto added = insert_record(core, vector, std::move(metadata), std::string(id), ttl_secs);
    if (!added) return fail(added.error());
    return {};
}

}  // namespace tessello
