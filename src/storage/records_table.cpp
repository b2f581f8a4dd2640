#include "storage/records_table.h"

namespace tessello {

Status put_record(WriteTxn& txn, const Record& record) {
    const auto bytes = encode_record(record);
    return txn.put(kRecordsTable, record.id, bytes);
}

namespace {

Result<std::optional<Record>> decoded(const Result<std::optional<Bytes>>& value) {
    if (!value) return fail(value.error());
    if (!*value) return std::optional<Record>{};
    auto record = decode_record(**value);
    if (!record) return fail(record.error());
    return std::optional<Record>(std::move(*record));
}

}  // namespace

Result<RecordsWriter> RecordsWriter::open(WriteTxn& txn) {
    auto cursor = txn.cursor(kRecordsTable);
    if (!cursor) return fail(cursor.error());
    return RecordsWriter(std::move(*cursor));
}

Result<std::optional<Record>> RecordsWriter::get(std::string_view id) { return decoded(cursor_.get(id)); }

Status RecordsWriter::put(const Record& record) {
    encode_record_into(record, encoded_);
    return cursor_.put(record.id, encoded_);
}

Result<std::optional<RecordsWriter::Replaced>> RecordsWriter::put_replacing(const Record& record) {
    encode_record_into(record, encoded_);
    auto stored = cursor_.put_if_absent(record.id, encoded_);
    if (!stored) return fail(stored.error());
    if (!*stored) return std::optional<Replaced>{};
    auto old = decode_record_view(**stored);
    if (!old) return fail(old.error());
    const Replaced replaced{old->slot, old->state};
    if (auto st = cursor_.put_current(record.id, encoded_); !st) return fail(st.error());
    return std::optional<Replaced>(replaced);
}

Result<std::optional<RecordView>> RecordsWriter::find(std::string_view id) {
    auto stored = cursor_.get(id);
    if (!stored) return fail(stored.error());
    if (!*stored) return std::optional<RecordView>{};
    auto record = decode_record_view(**stored);
    if (!record) return fail(record.error());
    return std::optional<RecordView>(*record);
}

Status RecordsWriter::replace_found(std::string_view id, const RecordView& record) {
    // Encoded first: the view may point into the page the put rewrites.
    encode_record_into(record, encoded_);
    return cursor_.put_current(id, encoded_);
}

Result<std::optional<Record>> get_record(const ReadTxn& txn, std::string_view id) {
    return decoded(txn.get(kRecordsTable, id));
}

Result<std::optional<Record>> get_record(const WriteTxn& txn, std::string_view id) {
    return decoded(txn.get(kRecordsTable, id));
}

Result<bool> set_record_state(WriteTxn& txn, std::string_view id, RecordState state) {
    auto found = get_record(txn, id);
    if (!found) return fail(found.error());
    if (!*found) return false;
    (*found)->state = state;
    if (auto st = put_record(txn, **found); !st) return fail(st.error());
    return true;
}

Result<bool> remove_record(WriteTxn& txn, std::string_view id) {
    return txn.remove(kRecordsTable, id);
}

Result<std::uint64_t> count_live_records(const ReadTxn& txn) {
    std::uint64_t count = 0;
    const std::uint64_t now = now_unix_secs();
    auto st = for_each_record(txn, [&](const RecordView& r) -> Status {
        if (is_record_live(r, now)) ++count;
        return {};
    });
    if (!st) return fail(st.error());
    return count;
}

}  // namespace tessello
