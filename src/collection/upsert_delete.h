#pragma once
// Replacing and removing records by identifier.
//
// Both look at the write-behind buffer first: the oldest buffered entry of
// the identifier leaves the buffer and its slot goes back to the free list.
// A stored record is removed by delete_slot: its slot is marked deleted,
// freed, and the record rewritten as a Tombstone, then removed, in two write
// transactions.
//
// A slot is never handed to two records: the free list never holds a slot
// twice, a slot freed by a delete is handed out only once the transaction that
// tombstones its record has committed (a failed one takes the mark back), and
// a record that is already a Tombstone has given its slot back before, so its
// slot, which may belong to a new record by now, is left alone.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "collection/collection.h"
#include "json/json_value.h"

namespace tessello {

// Replaces whatever the collection holds under id by a new buffered record.
Status upsert_record(Collection& core, std::string_view id, std::span<const float> vector, JsonValue metadata,
                     std::optional<std::uint64_t> ttl_secs);

// Whether a buffered entry or a stored record of id was removed.
Result<bool> delete_record(Collection& core, std::string_view id);

// Removes the stored record id, whose slot is `slot` and state `state`.
Status delete_slot(Collection& core, std::string_view id, std::uint64_t slot, RecordState state);

}  // namespace tessello
