// A whole key-value file ("meta.redb") as the input: written to a scratch
// file and opened with KvStore::open, which must refuse a damaged file with
// an error. A file that opens is used as the system uses one: every table is
// scanned (table "collections" through list_collection_names, every value
// of "records" decoded, the free list loaded), then a put is committed and
// read back.
//
// LMDB trusts its file, so until opening checks the whole file first a
// damaged one can still end the process here: .ci/fuzz builds this target
// but leaves it out of its run (see the switch there).
#include <cstdint>
#include <filesystem>

#include "fuzz_support.h"
#include "storage/freelist.h"
#include "storage/kv_store.h"
#include "storage/record.h"
#include "storage/records_table.h"
#include "storage/registry.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

namespace {

constexpr std::size_t kMapSize = std::size_t{64} << 20;

// Walks every entry of a table; decoding each value is the caller's part.
template <class Visit>
bool scan_table(KvStore& store, std::string_view table, Visit&& visit) {
    auto txn = begin_read_txn(store);
    if (!txn) return false;
    auto cursor = txn->scan(table);
    if (!cursor) return false;
    for (;;) {
        auto entry = cursor->next();
        if (!entry) return false;
        if (!*entry) return true;
        visit(**entry);
    }
}

void use(KvStore& store) {
    (void)list_collection_names(store);
    (void)scan_table(store, kCollectionsTable, [](const KvEntry& e) { (void)decode_collection_config(e.value); });
    (void)scan_table(store, kRecordsTable, [](const KvEntry& e) { (void)decode_record_view(e.value); });
    (void)scan_table(store, kFreelistTable, [](const KvEntry& e) { (void)decode_freelist(e.value); });
    if (auto txn = begin_read_txn(store)) {
        (void)load_freelist(*txn);
        (void)count_live_records(*txn);
    }

    const Record record{"fuzz-record", 7, "{}", 1, std::nullopt, RecordState::Active};
    const Status written = write_transaction(store, [&](WriteTxn& txn) { return put_record(txn, record); });
    if (!written) return;
    auto txn = begin_read_txn(store);
    fuzz_check(txn.has_value(), "a read transaction begins after a commit");
    auto back = get_record(*txn, record.id);
    fuzz_check(back.has_value() && back->has_value() && **back == record, "a committed record reads back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path dir = fuzz::scratch_dir() / "kv";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directory(dir, ec);
    fuzz_check(!ec, "make the store's folder");
    const std::filesystem::path path = dir / "meta.redb";
    fuzz::write_file(path, {data, size});
    auto store = KvStore::open(path, {kRecordsTable, kFreelistTable, kCollectionsTable}, kMapSize);
    if (!store) return 0;
    use(**store);
    return 0;
}
