#pragma once
// Replacing and removing records by identifier.
//
// Both look at the write-behind buffer first: the oldest buffered entry of
// the identifier leaves the buffer and its slot goes back to the free list.
// When that entry is one a flush is writing, they wait for the flush to end
// and look again: by then it is stored, or queued again if the flush failed.
// A stored record is removed by delete_slot: its slot is marked deleted,
// freed, and the record rewritten as a Tombstone, then removed, in two write
// transactions.
//
// A slot is never handed to two records: the record is read again inside
// the transaction that tombstones it, the free list never holds a slot twice,
// a slot goes back only after that commit, and a record that is already a
// Tombstone gave its slot back before, so its slot, which may belong to a
// new record by now, is left alone.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "collection/collection.h"
#include "json/json_value.h"
#include "json/json_writer.h"

namespace tessello {

// Replaces whatever the collection holds under id by a new buffered record.
Status upsert_record(Collection& core, std::string_view id, std::span<const float> vector, JsonText metadata,
                     std::optional<std::uint64_t> ttl_secs);

// Whether a buffered entry or a stored record of id was removed.
Result<bool> delete_record(Collection& core, std::string_view id);

// Removes whatever is stored under id when its first transaction runs;
// false when nothing is stored by then.
Result<bool> delete_slot(Collection& core, std::string_view id);

}  // namespace tessello
