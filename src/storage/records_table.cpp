#include "storage/records_table.h"

namespace tessello {

Status put_record(WriteTxn& txn, const Record& record) {
    const auto bytes = encode_record(record);
    return txn.put(kRecordsTable, record.id, bytes);
}

Result<std::optional<Record>> get_record(const ReadTxn& txn, std::string_view id) {
    auto value = txn.get(kRecordsTable, id);
    if (!value) return fail(value.error());
    if (!*value) return std::optional<Record>{};
    auto record = decode_record(**value);
    if (!record) return fail(record.error());
    return std::optional<Record>(std::move(*record));
}

Result<bool> set_record_state(KvStore& db, WriteTxn& txn, std::string_view id, RecordState state) {
    std::optional<Record> found;
    {
        auto read = begin_read_txn(db);
        if (!read) return fail(read.error());
        auto got = get_record(*read, id);
        if (!got) return fail(got.error());
        found = std::move(*got);
    }
    if (!found) return false;
    found->state = state;
    if (auto st = put_record(txn, *found); !st) return fail(st.error());
    return true;
}

Result<bool> remove_record(WriteTxn& txn, std::string_view id) {
    return txn.remove(kRecordsTable, id);
}

Result<std::uint64_t> count_live_records(const ReadTxn& txn) {
    std::uint64_t count = 0;
    auto st = for_each_record(txn, [&](const RecordView& r) -> Status {
        if (is_record_live(r)) ++count;
        return {};
    });
    if (!st) return fail(st.error());
    return count;
}

}  // namespace tessello
