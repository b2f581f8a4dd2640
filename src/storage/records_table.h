#pragma once
// The records table ("records" in a collection's key-value file): identifier
// to encoded Record. Missing table = empty for readers; writers create it.
// Operations share the caller's transaction; none commits or takes locks.
#include <optional>
#include <string_view>

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
