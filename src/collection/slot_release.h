#pragma once
// Giving a stored record's slot back, shared by delete, compaction, and the
// flush and batch add that replace a record stored under the same identifier.
//
// A slot is handed to one record at a time. So the transaction that turns a
// record into a Tombstone (or removes or replaces it) checks, under the
// store's writer lock, that the record still holds the slot, and persists the
// free list with the slot in it (which lists it in memory as held, so that
// every later commit stores it too); only after that commit is the slot
// marked deleted, hidden from the graph index and released to the in-memory
// free list, from where adds take it.
#include <cstdint>
#include <optional>
#include <vector>

#include "collection/collection.h"

namespace tessello {

// After the commit: the deleted mark (true when the slot was not marked
// yet), the graph's mask, and the release on the free list.
bool release_slot(Collection& core, std::uint64_t slot);

}  // namespace tessello
