#pragma once
// Record: the stored form of one record of a collection, and its encoding
// (id, slot, metadata text, created_at, optional expires_at, state as a u32
// variant index). The vector itself lives in the collection's vector file, in
// the slot the record names.
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/binary_codec.h"
#include "base/clock.h"
#include "base/store_error.h"

namespace tessello {

enum class RecordState : std::uint8_t { Active = 0, Pending = 1, Tombstone = 2 };

struct Record {
    std::string id;
    std::uint64_t slot = 0;
    std::string metadata;  // compact JSON text, object keys in byte order
    std::uint64_t created_at = 0;
    std::optional<std::uint64_t> expires_at;
    RecordState state = RecordState::Active;

    bool operator==(const Record&) const = default;
};

// A decoded record whose strings still point into the stored bytes: valid
// only while those bytes are (for a table value, while its transaction lives).
struct RecordView {
    std::string_view id;
    std::uint64_t slot = 0;
    std::string_view metadata;
    std::uint64_t created_at = 0;
    std::optional<std::uint64_t> expires_at;
    RecordState state = RecordState::Active;

    Record to_record() const;
};

// 37 + id bytes + metadata bytes, plus 8 with an expiry.
std::size_t encoded_record_len(const Record& record);
std::vector<std::uint8_t> encode_record(const Record& record);
// The same bytes, in place of out's contents (its room is kept for the next).
void encode_record_into(const Record& record, std::vector<std::uint8_t>& out);
void encode_record_into(const RecordView& record, std::vector<std::uint8_t>& out);

// Bytes after the state are ignored. Failures are StoreError::Serialization.
Result<RecordView> decode_record_view(Bytes bytes);
Result<Record> decode_record(Bytes bytes);

// Expired at the Unix second `now`: it has an expiry and now >= expires_at
// (so a ttl of 0 is expired from the second it was written).
constexpr bool is_expired_at(const std::optional<std::uint64_t>& expires_at, std::uint64_t now) {
    return expires_at && now >= *expires_at;
}

// The one liveness test of every reader of records: Active and not expired
// at the Unix second `now`. The caller reads the clock (now_unix_secs), once
// for as many records as it decides together.
template <class R>
    requires std::same_as<R, Record> || std::same_as<R, RecordView>
constexpr bool is_record_live(const R& record, std::uint64_t now) {
    return record.state == RecordState::Active && !is_expired_at(record.expires_at, now);
}

}  // namespace tessello
