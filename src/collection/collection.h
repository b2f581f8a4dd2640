#pragma once
// Collection: the core of one open collection, shared through one
// reference-counted handle by the database's cache and every Python
// Collection object. The core owns its state (the key-value store, the vector
// file, the free list, the write-behind buffer, the graph index): nothing
// outside src/collection/ reaches it except through the public members
// below. Releasing the last handle flushes the write-behind buffer (best
// effort: a failure then has no caller to report to), then closes the vector
// file and the key-value store.
//
// Lock order, binding on every operation (outer first):
//   flush_lock > index_lock > visibility_lock > [a transaction of meta_db]
//     > mirror_lock > pending_lock > free_list_lock;
//   mirror_lock > vector_store_lock, never with free_list_lock.
// In detail:
// - flush_lock (one flush at a time) is taken while nothing else is held;
// - index_lock is taken before a transaction is begun, never while one is
//   open (its holders begin transactions, and growing the store's map waits
//   for every open transaction); where index_lock and vector_store_lock are
//   both held, index_lock comes first;
// - visibility_lock is held shared by a reader that combines the table and
//   the buffer while it begins its read transaction and copies the buffer,
//   and exclusively by the flush from the end of its writes, inside its
//   write transaction, through its commit and the removal of its entries
//   from the buffer (a growth of the map at that commit waits only for open
//   transactions to end, and no thread that holds one waits for
//   visibility_lock, so it cannot wait forever); no write transaction is
//   begun under it;
// - a transaction of meta_db is begun before vector_store_lock, free_list_lock
//   or pending_lock is taken, never while one is held; the one exception is
//   the exact walk of the table, whose runs each get a read transaction of
//   their own, begun under vector_store_lock by the thread that already holds
//   the search's transaction: the store never makes a thread that holds a
//   transaction wait to begin another, so nothing can wait on it;
// - mirror_lock (the in-memory copy of table "records") is taken by a
//   search once its read transaction is open and before vector_store_lock,
//   and by a writer after its commit (the flush still under visibility_lock,
//   so that no reader sees the commit before the copy has it); no
//   transaction is begun while it is held;
// - free_list_lock and vector_store_lock are never held together;
// - pending_lock may be held while free_list_lock is taken, never the reverse;
// - inside an index, a search takes the graph lock before the deleted-slots
//   lock, and a delete takes them one after the other, never together.
// Every lock of the core is taken, and every transaction begun, through
// collection/core_lock.h, which checks these rules on each thread as it runs.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/fair_shared_mutex.h"
#include "base/shared_pass.h"
#include "collection/core_lock.h"
#include "collection/core_txn.h"
#include "collection/mirror_scan.h"
#include "collection/record_mirror.h"
#include "collection/write_behind.h"
#include "search/filter/filter_condition.h"
#include "search/hnsw/hnsw_graph.h"
#include "search/search_hit.h"
#include "search/stored_scan.h"
#include "storage/freelist.h"
#include "storage/kv_store.h"
#include "storage/registry.h"
#include "storage/vectors.h"

namespace tessello {

class Collection;
class JsonValue;
struct JsonText;
class SlotLease;
struct BatchInput;
struct CompactStats;
using CollectionHandle = std::shared_ptr<Collection>;

class Collection {
public:
    Collection(CollectionConfig config, std::filesystem::path dir, std::unique_ptr<KvStore> meta_db,
               VectorStore vector_store, FreeList free_list);
    ~Collection();
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    const CollectionConfig config;
    const std::filesystem::path dir;

    // Asks the system to read the whole vector file into memory ahead of use.
    void preload_vectors() const;
    // The length of the vector file's mapping in bytes.
    std::uint64_t vectors_size_bytes() const;
    // Runs body over one consistent view of the stored records and their
    // vectors: a read transaction of meta_db, then the vector store held
    // shared for the body's whole length (writers of vectors wait meanwhile).
    // A transaction that cannot begin is StoreError::Transaction; otherwise
    // whatever body returns.
    Status read_stored(const std::function<Status(const ReadTxn&, const VectorStore&)>& body);

private:
    // The operations, each in the file of its name.
    friend Result<CollectionHandle> open_collection(const std::filesystem::path&, CollectionConfig, std::size_t);
    friend Result<std::uint64_t> allocate_slot(Collection&);
    friend Result<std::string> insert_record(Collection&, std::span<const float>, JsonText,
                                             std::optional<std::string>, std::optional<std::uint64_t>);
    friend Status flush_pending(Collection&, std::optional<std::uint64_t>);
    friend Result<std::vector<std::string>> add_batch_records(Collection&, BatchInput);
    friend Status upsert_record(Collection&, std::string_view, std::span<const float>, JsonText,
                                std::optional<std::uint64_t>);
    friend Result<bool> delete_record(Collection&, std::string_view);
    friend Result<bool> delete_slot(Collection&, std::string_view);
    friend Result<std::optional<SearchHit>> fetch_record(Collection&, std::string_view);
    friend Result<std::vector<SearchHit>> search_collection(Collection&, std::span<const float>, std::uint64_t,
                                                            const std::vector<FilterCondition>*);
    friend Result<CompactStats> compact_collection(Collection&);
    friend std::optional<Result<std::vector<SearchHit>>> mirrored_search(Collection&, const ReadTxn&,
                                                                         std::span<const float>, std::uint64_t,
                                                                         const std::vector<FilterCondition>*);
    friend MirrorFootprint mirror_footprint(Collection&);
    friend std::optional<Result<std::uint64_t>> mirrored_live_count(Collection&, const ReadTxn&);
    friend Status sync_collection(Collection&);
    friend Result<std::uint64_t> collection_len(Collection&);
    friend Result<std::vector<LiveEntry>> collect_live_entries(Collection&);
    friend Status ensure_index(Collection&);
    friend Status open_index(Collection&);
    friend Status save_index_of(Collection&);
    friend void mask_deleted_slot(Collection&, std::uint64_t);
    friend bool release_slot(Collection&, std::uint64_t);
    friend class SlotLease;
    // Tests look at the state they check through this one door (tests/core).
    friend struct CollectionTestAccess;

    // The steps of the operations, defined in the operations' files.
    struct FlushSteps;       // collection/insert.cpp
    struct BatchSteps;       // collection/batch_add.cpp
    struct MirrorPassSteps;  // collection/mirror_search.cpp
    struct CompactionSteps;  // collection/compaction.cpp
    struct SearchSteps;      // collection/search_collection.cpp
    struct UpsertSteps;      // collection/upsert_delete.cpp

    // Transactions of meta_db, begun only where the lock order allows.
    Result<CoreReadTxn> read_txn(std::source_location where = std::source_location::current());
    Status write_txn(const std::function<Status(WriteTxn&)>& body,
                     std::source_location where = std::source_location::current());

    // How a slot that no stored record named goes back to the free list:
    // appended unless listed already. Takes free_list_lock (pending_lock may
    // be held). A stored record's slot goes back through release_slot.
    void give_back_slot(std::uint64_t slot, std::source_location where = std::source_location::current());
    // The one way the free list is stored: the whole list, followed by the
    // slots of `also` that it does not list, under "slots" in txn
    // (free_list_lock shared). Once txn commits, and before the next writer
    // begins, those slots are listed in memory too, held until release_slot
    // hands them out; so every later commit stores them as well.
    Status persist_free_list(WriteTxn& txn, std::span<const std::uint64_t> also = {},
                             std::source_location where = std::source_location::current());
    Status persist_free_list(WriteTxn& txn, std::optional<std::uint64_t> also,
                             std::source_location where = std::source_location::current());

    // Hands the record mirror what the commit of id `commit` wrote to table
    // "records" (takes mirror_lock; call it after the commit, holding no
    // lock the order puts after mirror_lock).
    void note_committed(std::uint64_t commit, std::span<const MirrorChange> changes = {});

    std::unique_ptr<KvStore> meta_db_;
    const std::uint64_t batch_size_ = 100;
    const std::uint64_t flush_interval_ms_ = 100;

    Guarded<VectorStore, FairSharedMutex, CoreLock::VectorStore> vector_store_;
    Guarded<FreeList, FairSharedMutex, CoreLock::FreeList> free_list_;

    // One flush at a time, so flushes commit in the order their entries were
    // queued, and a sync returns only once what was buffered before it is
    // stored.
    Guarded<std::monostate, std::mutex, CoreLock::Flush> flush_;
    // Keeps a flush's commit and the removal of its entries from the buffer
    // from falling between a reader's read transaction and its look at the
    // buffer (see the lock order above).
    Guarded<std::monostate, FairSharedMutex, CoreLock::Visibility> visibility_;

    // The write-behind buffer, in queue order, with the entries of the flush
    // in progress at its front.
    Guarded<WriteBehind, std::mutex, CoreLock::Pending> pending_;
    // Wall-clock ms at which an entry was queued while no entry was waiting
    // for a flush to take it; 0 at open and after a successful flush.
    std::atomic<std::uint64_t> first_pending_ms_{0};
    std::atomic<std::uint64_t> next_ticket_{1};

    // Absent: every search is an exact scan. Only a configuration with HNSW
    // parameters ever holds a graph.
    Guarded<std::unique_ptr<HnswIndex>, FairSharedMutex, CoreLock::Index> index_;
    std::atomic<bool> index_dirty_{false};

    // Where the exact search cuts table "records" to walk it on every thread.
    WalkSplits walk_splits_;

    // The in-memory copy of table "records" that the exact search scans.
    Guarded<RecordMirror, FairSharedMutex, CoreLock::Mirror> mirror_;
    // Exact searches that wait to be scored in the next pass over the mirror.
    // Its mutex is held only inside the queue, never with another lock; a
    // search waiting in it holds what any search holds (index_lock shared,
    // its read transaction), and the pass takes mirror_lock and then
    // vector_store_lock as a search does.
    SharedPass<MirrorQuery> mirror_passes_;
};

// Opens or creates the collection directory dir with the given configuration:
// creates the directory, creates or checks "vectors.bin", opens "meta.redb"
// (exclusively) and loads the free list. Writes nothing to "meta.redb".
// map_size: the address space reserved for "meta.redb" (tests make it small).
Result<CollectionHandle> open_collection(const std::filesystem::path& dir, CollectionConfig config,
                                         std::size_t map_size = KvStore::kDefaultMapSize);

}  // namespace tessello
