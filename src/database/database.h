#pragma once
// Database: what a Python Tessello object holds — the directory path as given,
// the registry ("meta.redb" in it, table "collections") and the cache of
// collections opened through this object. Plain C++: the Python type wraps it.
//
// Collection names are path components under "collections": a name that is
// empty, ".", "..", holds '/' or NUL, or is longer than 255 bytes is refused
// before anything is registered, and dropping never removes anything outside
// "collections" but what it moved aside itself.
//
// A drop moves the collection's directory into "collections.dropped" and
// makes that durable before the registry forgets the name, then deletes it;
// opening the database clears what an interrupted drop left there. The data
// of a dropped collection therefore never comes back under its name
// (database/collection_drop.h).
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection/collection.h"
#include "storage/kv_store.h"
#include "storage/metric.h"

namespace tessello {

class Database {
public:
    // Creates the directory and "collections" under it, then opens the registry.
    static Result<std::unique_ptr<Database>> open(std::string path);
    ~Database();

    // Get or create; checks dimensions and metric against the registered ones.
    Result<CollectionHandle> collection(const std::string& name, std::uint64_t dim, Metric metric);
    Result<CollectionHandle> get_collection(const std::string& name);
    Result<std::vector<std::string>> collections();
    // Forgets the cache's share first; Collection objects still holding the
    // core keep working on its open files. A name never registered: nothing.
    Status drop_collection(const std::string& name);
    // Syncs every cached collection, stopping at the first failure.
    Status sync();

    std::uint64_t promoted = 0;
    std::uint64_t rolled_back = 0;
    std::uint64_t tombstones = 0;

private:
    Database() = default;
    std::string collection_dir(std::string_view name) const;
    std::optional<CollectionHandle> cached(const std::string& name);
    Result<std::optional<CollectionConfig>> registered(const std::string& name);
    Result<CollectionHandle> open_and_cache(const std::string& name, CollectionConfig config);

    std::string path_;
    std::unique_ptr<KvStore> registry_;
    std::shared_mutex cache_lock_;
    std::unordered_map<std::string, CollectionHandle> cache_;
};

// Refuses names that are not a single directory name: StoreError::InvalidInput.
Status validate_collection_name(std::string_view name);

}  // namespace tessello
