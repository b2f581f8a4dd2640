#include "collection/index_maintenance.h"

#include <sys/stat.h>

#include <string_view>
#include <unordered_map>

#include "search/hnsw/insert.h"
#include "search/hnsw/parallel_build.h"
#include "search/hnsw/persist.h"
#include "storage/records_table.h"

namespace tessello {

Result<std::vector<LiveEntry>> collect_live_entries(Collection& core) {
    std::vector<LiveEntry> entries;
    auto txn = core.read_txn();
    if (!txn) return fail(txn.error());
    const std::uint64_t now = now_unix_secs();
    auto st = for_each_record(*txn, [&](const RecordView& r) -> Status {
        if (is_record_live(r, now)) entries.push_back(LiveEntry{r.slot, std::string(r.id)});
        return {};
    });
    if (!st) return fail(st.error());
    return entries;
}

std::vector<LiveEntry> retain_unindexed(std::vector<LiveEntry> entries, HnswIndex& index) {
    std::erase_if(entries, [&](const LiveEntry& e) {
        std::shared_lock lock(index.graph_lock);
        return index.graph.slot_to_node.contains(e.slot);
    });
    return entries;
}

Status ensure_index(Collection& core) {
    if (!core.config.hnsw || !core.index_dirty_.load()) return {};
    auto index = core.index_.exclusive();
    // Cleared before the records are read: a write that commits after the
    // read sets the flag again once it has committed, so the next pass takes
    // in what this one did not see. A pass that fails sets it back.
    if (!core.index_dirty_.exchange(false)) return {};
    const auto failed = [&](const StoreError& error) -> Status {
        core.index_dirty_.store(true);
        return fail(error);
    };
    auto live = collect_live_entries(core);
    if (!live) return failed(live.error());

    const std::uint64_t nodes = *index ? hnsw_node_count(**index) : 0;
    if (nodes > 0 && live->size() > nodes) {
        auto missing = retain_unindexed(std::move(*live), **index);
        if (!missing.empty()) insert_nodes(**index, missing, *core.vector_store_.shared());
        return {};
    }

    const HnswConfig config = *core.config.hnsw;
    std::unique_ptr<HnswIndex> rebuilt;
    {
        // The build reads the vectors; the records are read again so that the
        // graph matches the table as it is now.
        auto entries = collect_live_entries(core);
        if (!entries) return failed(entries.error());
        auto vectors = core.vector_store_.shared();
        rebuilt = std::make_unique<HnswIndex>(build_graph_parallel(config, core.config.metric, *entries, *vectors),
                                              core.config.metric);
    }
    *index = std::move(rebuilt);
    return {};
}

namespace {

// A loaded graph serves only when it has one node per live record and every
// node names a live record by its identifier and slot: a file whose checksum
// was made to match other contents must not label hits with the wrong record.
bool nodes_name_live_records(HnswIndex& index, const std::vector<LiveEntry>& live) {
    std::shared_lock lock(index.graph_lock);
    const std::vector<HnswNode>& nodes = index.graph.nodes;
    if (nodes.size() != live.size()) return false;
    std::unordered_map<std::string_view, std::uint64_t> slot_of;
    slot_of.reserve(live.size());
    for (const LiveEntry& e : live) slot_of.emplace(e.id, e.slot);
    for (const HnswNode& node : nodes) {
        const auto it = slot_of.find(node.id);
        if (it == slot_of.end() || it->second != node.slot) return false;
        slot_of.erase(it);  // one node per record
    }
    return true;
}

}  // namespace

Status open_index(Collection& core) {
    if (!core.config.hnsw) return {};
    const std::filesystem::path path = core.dir / "hnsw.index";
    auto live_count = [&]() -> Result<std::uint64_t> {
        auto txn = core.read_txn();
        if (!txn) return fail(txn.error());
        return count_live_records(*txn);
    };
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        auto live = live_count();
        if (!live) return fail(live.error());
        core.index_dirty_.store(*live > 0);
        return {};
    }
    auto loaded = load_hnsw_index(path, core.config.metric);
    if (!loaded) {
        // A file that does not load is rebuilt from the records, silently.
        core.index_dirty_.store(true);
        return {};
    }
    auto live = collect_live_entries(core);
    if (!live) return fail(live.error());
    if (nodes_name_live_records(**loaded, *live)) {
        *core.index_.exclusive() = std::move(*loaded);
        core.index_dirty_.store(false);
    } else {
        core.index_dirty_.store(true);
    }
    return {};
}

Status save_index_of(Collection& core) {
    auto index = core.index_.shared();
    if (!*index) return {};
    std::shared_lock graph_lock((*index)->graph_lock);
    return save_index((*index)->graph, core.dir / "hnsw.index");
}

void mask_deleted_slot(Collection& core, std::uint64_t slot) {
    {
        auto index = core.index_.shared();
        if (*index) {
            {
                std::unique_lock lock((*index)->deleted_lock);
                (*index)->deleted_slots.insert(slot);
            }
            std::unique_lock lock((*index)->graph_lock);
            (*index)->graph.slot_to_node.erase(slot);
        }
    }
    core.index_dirty_.exchange(true);
}

}  // namespace tessello
