#include "collection/collection.h"

#include <sys/stat.h>

#include "base/dirs.h"
#include "collection/index_maintenance.h"
#include "collection/insert.h"
#include "storage/records_table.h"

namespace tessello {

Collection::Collection(CollectionConfig config_in, std::filesystem::path dir_in, std::unique_ptr<KvStore> db,
                       VectorStore vectors, FreeList free)
    : config(std::move(config_in)),
      dir(std::move(dir_in)),
      meta_db_(std::move(db)),
      vector_store_(std::move(vectors)),
      free_list_(std::move(free)) {}

Collection::~Collection() {
    // A process that adds and then lets go of the collection keeps its records.
    // Best effort: a destructor has no caller to report to, and an exception
    // out of it (exhausted memory) would end the process.
    try {
        (void)flush_pending(*this);
    } catch (...) {
    }
}

void Collection::preload_vectors() const { vector_store_.shared()->preload(); }

std::uint64_t Collection::vectors_size_bytes() const { return vector_store_.shared()->vectors_size_bytes(); }

Status Collection::read_stored(const std::function<Status(const ReadTxn&, const VectorStore&)>& body) {
    // The transaction comes before the lock (see the lock order).
    auto txn = read_txn();
    if (!txn) return fail(txn.error());
    auto vectors = vector_store_.shared();
    return body(*txn, *vectors);
}

Result<CoreReadTxn> Collection::read_txn(std::source_location where) {
    check_transaction_begin(where, TxnKind::Read);
    auto txn = begin_read_txn(*meta_db_);
    if (!txn) return fail(txn.error());
    return CoreReadTxn(std::move(*txn));
}

Status Collection::write_txn(const std::function<Status(WriteTxn&)>& body, std::source_location where) {
    check_transaction_begin(where, TxnKind::Write);
    note_transaction_begun(TxnKind::Write);
    Status status = write_transaction(*meta_db_, body);
    note_transaction_ended(TxnKind::Write);
    return status;
}

void Collection::note_committed(std::uint64_t commit, std::span<const MirrorChange> changes) {
    mirror_.exclusive()->note(commit, changes);
}

void Collection::give_back_slot(std::uint64_t slot, std::source_location where) {
    free_list_.exclusive(where)->push_if_absent(slot);
}

Status Collection::persist_free_list(WriteTxn& txn, std::span<const std::uint64_t> also, std::source_location where) {
    std::vector<std::uint64_t> appended;
    if (auto st = persist_freelist(*free_list_.shared(where), txn, also, &appended); !st) return st;
    if (!appended.empty())
        txn.on_commit([this, appended = std::move(appended), where] {
            auto list = free_list_.exclusive(where);
            for (std::uint64_t slot : appended) list->hold(slot);
        });
    return {};
}

Status Collection::persist_free_list(WriteTxn& txn, std::optional<std::uint64_t> also, std::source_location where) {
    return persist_free_list(txn, also ? std::span<const std::uint64_t>(&*also, 1) : std::span<const std::uint64_t>(),
                             where);
}

Result<CollectionHandle> open_collection(const std::filesystem::path& dir, CollectionConfig config,
                                         std::size_t map_size) {
    if (auto st = create_dir_all(dir.string()); !st) return fail(st.error());

    const std::filesystem::path vectors_path = dir / "vectors.bin";
    struct stat st;
    auto vectors = ::stat(vectors_path.c_str(), &st) != 0 ? create_vector_store(vectors_path, config.dimensions)
                                                          : open_vector_store(vectors_path, config.dimensions);
    // What an interrupted creation of an earlier version left is made anew
    // below, once the table shows that nothing points into it.
    const bool unfinished =
        !vectors && vectors.error().kind() == StoreError::Corruption && is_unfinished_vector_file(vectors_path);
    if (!vectors && !unfinished) return fail(vectors.error());

    auto db = KvStore::open(dir / "meta.redb", {kRecordsTable, kFreelistTable}, map_size);
    if (!db) return fail(db.error());
    remove_unfinished_creations(vectors_path);

    std::optional<FreeList> free_list;
    bool holds_records = false;
    {
        auto txn = begin_read_txn(**db);
        if (!txn) return fail(txn.error());
        auto loaded = load_freelist(*txn);
        if (!loaded) return fail(loaded.error());
        free_list.emplace(std::move(*loaded));
        if (unfinished) {
            auto cursor = txn->scan(kRecordsTable);
            if (!cursor) return fail(cursor.error());
            auto first = cursor->next();
            if (!first) return fail(first.error());
            holds_records = first->has_value();
        }
    }
    if (unfinished) {
        if (holds_records || free_list->size() != 0) return fail(vectors.error());
        vectors = create_vector_store(vectors_path, config.dimensions);
        if (!vectors) return fail(vectors.error());
    }

    auto core = std::make_shared<Collection>(std::move(config), dir, std::move(*db), std::move(*vectors),
                                             std::move(*free_list));
    if (auto st = open_index(*core); !st) return fail(st.error());
    return core;
}

}  // namespace tessello
