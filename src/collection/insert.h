#pragma once
// Adding one record through the write-behind buffer, and flushing the buffer.
//
// insert_record copies the prepared vector into its slot at once and queues
// the record; the buffer is written when it holds batch_size entries, or when
// flush_interval_ms have passed on the wall clock since an entry was queued
// into the empty buffer. Nothing flushes between calls.
//
// flush_pending writes every buffered entry that no flush has taken yet, one
// flush at a time (a flush waits for the one in progress). Its entries stay in
// the buffer, readable by get, search, len and delete, until its commit has
// made them visible in the table; no reader ever finds one in both places or
// in neither. It makes the vector file durable (msync + fsync) before the
// transaction that stores the records commits. A record stored under an
// identifier that already names a record replaces it, and the replaced
// record's slot is given back as a delete gives it. When a flush fails, the
// records it took go back to the front of the queue in their order, except
// the one whose add set the flush off (`trigger`, its entry's ticket): that
// add reports the error, its record is dropped and its slot returned to the
// free list. When that record was not among the taken ones (another flush
// stored it), the add's record is safe and the failure is not the add's to
// report.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "collection/collection.h"
#include "json/json_value.h"
#include "json/json_writer.h"

namespace tessello {

// The longest identifier the key-value store can hold as a key.
inline constexpr std::size_t kMaxRecordIdBytes = 511;

// Refuses identifiers the records table cannot hold (empty, or over 511 bytes).
Status validate_record_id(std::string_view id);

// A random version-4 UUID, 36 lowercase characters in groups 8-4-4-4-12.
Result<std::string> new_uuid_v4();

// created_at + ttl, saturating at the largest u64 rather than wrapping.
std::uint64_t expiry_time(std::uint64_t created_at, std::uint64_t ttl_secs);

// A free slot (last freed first), or a new one appended to the vector file.
// Takes the free-list lock, then the vector-store lock, never both.
Result<std::uint64_t> allocate_slot(Collection& core);

// The identifier of the added record.
Result<std::string> insert_record(Collection& core, std::span<const float> vector, JsonText metadata,
                                  std::optional<std::string> id, std::optional<std::uint64_t> ttl_secs);

Status flush_pending(Collection& core, std::optional<std::uint64_t> trigger = std::nullopt);

}  // namespace tessello
