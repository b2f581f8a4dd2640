#include "collection/search_collection.h"

#include <algorithm>
#include <limits>

#include "collection/graph_hits.h"
#include "collection/index_maintenance.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/stored_scan.h"
#include "storage/records_table.h"

namespace tessello {

namespace {

std::uint64_t collector_size(std::uint64_t k, const std::vector<FilterCondition>* filter) {
    if (!filter || filter->empty()) return k;
    return k > std::numeric_limits<std::uint64_t>::max() / 10 ? std::numeric_limits<std::uint64_t>::max() : k * 10;
}

// The exact path over the stored records.
Result<std::vector<SearchHit>> search_stored_records(Collection& core, std::span<const float> q, std::uint64_t k,
                                                     const std::vector<FilterCondition>* filter) {
    if (k == 0) return std::vector<SearchHit>{};
    // The transaction comes before the lock (see the lock order).
    auto txn = begin_read_txn(*core.meta_db);
    if (!txn) return fail(txn.error());
    std::shared_lock lock(core.vector_store_lock);
    return search_stored(*core.meta_db, *txn, q, core.config.metric, core.vector_store,
                         filter, k, collector_size(k, filter), core.walk_splits);
}

// The graph path, for a core that holds an index (its lock held shared).
Result<std::vector<SearchHit>> search_graph(Collection& core, std::span<const float> q, std::uint64_t k,
                                            const std::vector<FilterCondition>* filter) {
    auto txn = begin_read_txn(*core.meta_db);
    if (!txn) return fail(txn.error());
    std::shared_lock lock(core.vector_store_lock);
    return graph_path_hits(*core.index, q, k, filter, core.vector_store, *txn);
}

}  // namespace

Result<std::vector<SearchHit>> search_collection(Collection& core, std::span<const float> query, std::uint64_t k,
                                                 const std::vector<FilterCondition>* filter) {
    if (query.size() != core.config.dimensions)
        return fail(StoreError::dimension_mismatch(core.config.dimensions, query.size()));
    if (auto st = ensure_index(core); !st) return fail(st.error());
    const Metric metric = core.config.metric;
    const std::vector<float> q = normalize(metric, query);

    std::vector<PendingWrite> snapshot;
    {
        std::lock_guard lock(core.pending_lock);
        snapshot = core.pending;
    }

    std::shared_lock index_lock(core.index_lock);
    auto stored = core.index ? search_graph(core, q, k, filter) : search_stored_records(core, q, k, filter);
    if (!stored) return fail(stored.error());
    std::vector<SearchHit> hits = std::move(*stored);

    if (!snapshot.empty()) {
        if (k > 0) {
            std::vector<BufferedCandidate> entries;
            entries.reserve(snapshot.size());
            for (const PendingWrite& w : snapshot) entries.push_back(BufferedCandidate{&w.record, w.vector});
            auto buffered = search_pending(entries, q, metric, filter, k);
            hits.insert(hits.end(), std::make_move_iterator(buffered.begin()),
                        std::make_move_iterator(buffered.end()));
        }
        const bool higher = higher_is_better(core.config.metric);
        std::stable_sort(hits.begin(), hits.end(), [higher](const SearchHit& a, const SearchHit& b) {
            return score_ranks_before(a.score, b.score, higher);
        });
        if (hits.size() > k) hits.resize(k);
    }
    return hits;
}

}  // namespace tessello
