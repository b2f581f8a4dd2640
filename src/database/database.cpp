#include "database/database.h"

#include "base/dirs.h"
#include "collection/sync.h"
#include "database/collection_drop.h"
#include "database/live_cores.h"
#include "storage/records_table.h"
#include "storage/registry.h"
#include "storage/vectors.h"

namespace tessello {

Status validate_collection_name(std::string_view name) {
    auto refuse = [](std::string why) { return fail(StoreError::InvalidInput, "Collection name " + why); };
    if (name.empty()) return refuse("must not be empty");
    if (name == "." || name == "..") return refuse("'" + std::string(name) + "' is not allowed");
    if (name.find('/') != std::string_view::npos) return refuse("must not contain '/'");
    if (name.find('\0') != std::string_view::npos) return refuse("must not contain NUL");
    if (name.size() > 255)
        return refuse("is " + std::to_string(name.size()) + " bytes long; at most 255 bytes are allowed");
    return {};
}

Result<std::unique_ptr<Database>> Database::open(std::string path) {
    // The file system would see only the part before a NUL.
    if (path.find('\0') != std::string::npos)
        return fail(StoreError::io_message("file name contained an unexpected NUL byte"));
    if (auto st = create_dir_all(path); !st) return fail(st.error());
    if (auto st = create_dir_all(join_path(path, "collections")); !st) return fail(st.error());
    auto registry = KvStore::open(join_path(path, "meta.redb"), {kCollectionsTable});
    if (!registry) return fail(registry.error());
    // The registry's lock is held now: no other process is dropping.
    clear_dropped(path);
    std::unique_ptr<Database> db(new Database());
    db->path_ = std::move(path);
    db->registry_ = std::move(*registry);
    return db;
}

Database::~Database() {
    // The registry closes first; then the cache lets go of its cores, each of
    // which flushes its buffer if nothing else holds it.
    registry_.reset();
    cache_.clear();
}

std::string Database::collection_dir(std::string_view name) const {
    return join_path(join_path(path_, "collections"), name);
}

std::optional<CollectionHandle> Database::cached(const std::string& name) {
    std::shared_lock lock(cache_lock_);
    auto it = cache_.find(name);
    if (it == cache_.end()) return std::nullopt;
    return it->second;
}

Result<std::optional<CollectionConfig>> Database::registered(const std::string& name) {
    auto txn = begin_read_txn(*registry_);
    if (!txn) return fail(txn.error());
    return load_collection_config(*txn, name);
}

Result<CollectionHandle> Database::open_and_cache(const std::string& name, CollectionConfig config) {
    auto core = open_collection(collection_dir(name), std::move(config));
    if (!core) return fail(core.error());
    track_live_core(*core);
    std::unique_lock lock(cache_lock_);
    cache_[name] = *core;
    return *core;
}

namespace {

Status check_matches(const CollectionConfig& stored, const std::string& name, std::uint64_t dim, Metric metric) {
    if (stored.dimensions != dim) return fail(StoreError::dimension_mismatch(stored.dimensions, dim));
    if (stored.metric != metric)
        return fail(StoreError::CollectionExists, "Collection '" + name + "' exists with metric " +
                                                      std::string(metric_variant_name(stored.metric)) + ", not " +
                                                      std::string(metric_variant_name(metric)));
    return {};
}

}  // namespace

Result<CollectionHandle> Database::collection(const std::string& name, std::uint64_t dim, Metric metric) {
    if (auto st = validate_dimensions(dim); !st) return fail(st.error());
    if (auto st = validate_collection_name(name); !st) return fail(st.error());
    if (auto core = cached(name)) {
        if (auto st = check_matches((*core)->config, name, dim, metric); !st) return fail(st.error());
        return *core;
    }
    auto stored = registered(name);
    if (!stored) return fail(stored.error());
    if (*stored) {
        if (auto st = check_matches(**stored, name, dim, metric); !st) return fail(st.error());
        return open_and_cache(name, std::move(**stored));
    }
    CollectionConfig config{name, dim, metric, now_unix_secs(), std::nullopt};
    auto saved = write_transaction(*registry_, [&](WriteTxn& txn) { return save_collection_config(txn, config); });
    if (!saved) return fail(saved.error());
    return open_and_cache(name, std::move(config));
}

Result<CollectionHandle> Database::get_collection(const std::string& name) {
    if (auto core = cached(name)) return *core;
    if (auto st = validate_collection_name(name); !st) return fail(st.error());
    auto stored = registered(name);
    if (!stored) return fail(stored.error());
    if (!*stored) return fail(StoreError::CollectionNotFound, name);
    return open_and_cache(name, std::move(**stored));
}

Result<std::vector<std::string>> Database::collections() { return list_collection_names(*registry_); }

Status Database::drop_collection(const std::string& name) {
    CollectionHandle released;
    {
        std::unique_lock lock(cache_lock_);
        if (auto it = cache_.find(name); it != cache_.end()) {
            released = std::move(it->second);
            cache_.erase(it);
        }
    }
    // The cache's share goes before the directory does; held Python objects
    // keep theirs.
    released.reset();
    auto stored = registered(name);
    if (!stored) return fail(stored.error());
    if (!*stored) return {};
    // A name that is not a single directory name (only a registry written by
    // other means can hold one) leads outside "collections": nothing is moved
    // or removed for it.
    const bool has_dir = static_cast<bool>(validate_collection_name(name));
    // The directory goes aside first and durably, so that once the registry
    // no longer names the collection its data cannot be found under the name.
    std::optional<std::string> moved;
    if (has_dir) {
        auto aside = move_aside(path_, collection_dir(name));
        if (!aside) return fail(aside.error());
        moved = std::move(*aside);
    }
    drop_step_reached(DropStep::MovedAside);
    auto dropped = write_transaction(*registry_, [&](WriteTxn& txn) -> Status {
        if (auto removed = delete_collection_config(txn, name); !removed) return fail(removed.error());
        return {};
    });
    if (!dropped) {
        // The name still holds the collection: its data goes back under it.
        if (moved) move_back(*moved, collection_dir(name));
        return fail(dropped.error());
    }
    drop_step_reached(DropStep::Unregistered);
    if (moved)
        if (auto erased = erase_moved(path_, *moved); !erased) return erased;
    drop_step_reached(DropStep::Erased);
    return {};
}

Status Database::sync() {
    std::shared_lock lock(cache_lock_);
    for (auto& [name, core] : cache_)
        if (auto st = sync_collection(*core); !st) return st;
    return {};
}

}  // namespace tessello
