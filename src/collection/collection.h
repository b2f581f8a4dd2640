#pragma once
// Collection: the core of one open collection, shared through one
// reference-counted handle by the database's cache and every Python
// Collection object. Releasing the last handle flushes the write-behind
// buffer (best effort: a failure then has no caller to report to), then
// closes the vector file and the key-value store.
//
// Lock order, binding on every operation:
// - a transaction of meta_db is begun before vector_store_lock or
//   free_list_lock is taken, never while one is held (growing the store's
//   map waits for every open transaction);
// - free_list_lock and vector_store_lock are never held together;
// - where index_lock and vector_store_lock are both held, index_lock comes first;
// - pending_lock may be held while free_list_lock is taken, never the reverse;
// - inside an index, a search takes the graph lock before the deleted-slots
//   lock, and a delete takes them one after the other, never together.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "base/fair_shared_mutex.h"
#include "collection/pending_write.h"
#include "search/hnsw/hnsw_graph.h"
#include "search/stored_scan.h"
#include "storage/freelist.h"
#include "storage/kv_store.h"
#include "storage/registry.h"
#include "storage/vectors.h"

namespace tessello {

struct Collection {
    Collection(CollectionConfig config, std::filesystem::path dir, std::unique_ptr<KvStore> meta_db,
               VectorStore vector_store, FreeList free_list);
    ~Collection();
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    const CollectionConfig config;
    const std::filesystem::path dir;
    std::unique_ptr<KvStore> meta_db;
    const std::uint64_t batch_size = 100;
    const std::uint64_t flush_interval_ms = 100;

    FairSharedMutex vector_store_lock;
    VectorStore vector_store;

    FairSharedMutex free_list_lock;
    FreeList free_list;

    std::mutex pending_lock;
    std::vector<PendingWrite> pending;
    // Wall-clock ms at which an entry was queued into the empty buffer; 0 at
    // open and after a successful flush.
    std::atomic<std::uint64_t> first_pending_ms{0};
    std::atomic<std::uint64_t> next_ticket{1};

    // Absent: every search is an exact scan. Only a configuration with HNSW
    // parameters ever holds a graph.
    FairSharedMutex index_lock;
    std::unique_ptr<HnswIndex> index;
    std::atomic<bool> index_dirty{false};

    // Where the exact search cuts table "records" to walk it on every thread.
    WalkSplits walk_splits;
};

using CollectionHandle = std::shared_ptr<Collection>;

// Opens or creates the collection directory dir with the given configuration:
// creates the directory, creates or checks "vectors.bin", opens "meta.redb"
// (exclusively) and loads the free list. Writes nothing to "meta.redb".
// map_size: the address space reserved for "meta.redb" (tests make it small).
Result<CollectionHandle> open_collection(const std::filesystem::path& dir, CollectionConfig config,
                                         std::size_t map_size = KvStore::kDefaultMapSize);

}  // namespace tessello
