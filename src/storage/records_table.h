#pragma once
// The records table ("records" in a collection's key-value file): identifier
// to encoded Record. Missing table = empty for readers; writers create it.
// Operations share the caller's transaction; none commits or takes locks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "storage/kv_store.h"
#include "storage/record.h"

namespace tessello {

inline constexpr std::string_view kRecordsTable = "records";

// Stores the record under its id, replacing any stored value.
Status put_record(WriteTxn& txn, const Record& record);
// The record whatever its state and expiry, or nothing. In a write
// transaction, as that transaction sees it (its own puts included).
Result<std::optional<Record>> get_record(const ReadTxn& txn, std::string_view id);
Result<std::optional<Record>> get_record(const WriteTxn& txn, std::string_view id);
// Rewrites the state of the record the transaction sees. Whether it existed.
Result<bool> set_record_state(WriteTxn& txn, std::string_view id, RecordState state);
// Whether a value was there.
Result<bool> remove_record(WriteTxn& txn, std::string_view id);
// Live records in the table; the first value that does not decode is the error.
Result<std::uint64_t> count_live_records(const ReadTxn& txn);

// Many gets and puts of records in one write transaction, with the results
// of get_record and put_record. Identifiers given in ascending byte order
// (see in_id_order) find their place from the last one's, which makes a large
// batch far cheaper than lookups from the root in arbitrary order. Lives
// inside the body of its transaction, on that body's thread.
class RecordsWriter {
public:
    // Opens the table for writing (creating it when missing).
    static Result<RecordsWriter> open(WriteTxn& txn);
    Result<std::optional<Record>> get(std::string_view id);
    Status put(const Record& record);

    // What a put replaced: the slot and state of the record stored before.
    struct Replaced {
        std::uint64_t slot;
        RecordState state;
    };
    // put, returning what get would have returned before it (with one
    // lookup): a stored value that does not decode is that error, and
    // nothing is written.
    Result<std::optional<Replaced>> put_replacing(const Record& record);
    // get, as a view into the table: valid until the next put.
    Result<std::optional<RecordView>> find(std::string_view id);
    // put of `record` under the identifier find last found, which is what
    // put would do there, without looking it up again.
    Status replace_found(std::string_view id, const RecordView& record);

private:
    explicit RecordsWriter(WriteCursor cursor) : cursor_(std::move(cursor)) {}
    WriteCursor cursor_;
    std::vector<std::uint8_t> encoded_;
};

// The first eight bytes of an identifier as one big-endian number, zeros past
// its end: a smaller number means a smaller identifier in byte order, equal
// numbers say nothing.
inline std::uint64_t id_prefix(std::string_view id) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i)
        v = v << 8 | (i < id.size() ? static_cast<unsigned char>(id[i]) : 0u);
    return v;
}

// The positions 0..n-1 ordered by id_of(position) in byte order, positions
// with equal identifiers in their own order: visiting a batch this way does
// what visiting it in its own order does, since only the puts of one
// identifier depend on each other, and they keep their order.
//
// The sort runs over the identifiers' prefixes beside their positions, so
// most comparisons touch neither the identifiers nor the heap; only equal
// prefixes compare whole identifiers, then positions.
template <class IdOf>
std::vector<std::size_t> in_id_order(std::size_t n, IdOf&& id_of) {
    struct Key {
        std::uint64_t prefix;
        std::size_t at;
    };
    std::vector<Key> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = Key{id_prefix(id_of(i)), i};
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        const int c = std::string_view(id_of(a.at)).compare(std::string_view(id_of(b.at)));
        return c != 0 ? c < 0 : a.at < b.at;
    });
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keys[i].at;
    return order;
}

// Calls visit(const RecordView&) -> Status for every record in key order. The
// walk stops at the first value that does not decode, or the first failure
// of visit, and returns it. Views are valid while the transaction lives.
template <class Visit>
Status for_each_record(const ReadTxn& txn, Visit&& visit) {
    auto cursor = txn.scan(kRecordsTable);
    if (!cursor) return fail(cursor.error());
    for (;;) {
        auto entry = cursor->next();
        if (!entry) return fail(entry.error());
        if (!*entry) return {};
        auto record = decode_record_view((*entry)->value);
        if (!record) return fail(record.error());
        if (auto st = visit(*record); !st) return st;
    }
}

}  // namespace tessello
