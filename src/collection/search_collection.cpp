#include "collection/search_collection.h"

#include <algorithm>
#include <limits>

#include "collection/graph_hits.h"
#include "collection/index_maintenance.h"
#include "collection/mirror_search.h"
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

}  // namespace

struct Collection::SearchSteps {
    // What the search reads: the stored records as of one read transaction,
    // and the buffer as it was when that transaction began.
    struct View {
        CoreReadTxn txn;
        WriteBehind buffer;
    };

    // Begins the read transaction and copies the buffer as one step that no
    // flush's commit and removal of its entries can fall between: each
    // record a flush writes is seen once, stored or buffered.
    static Result<View> view(Collection& core) {
        auto visible = core.visibility_.shared();
        auto txn = core.read_txn();
        if (!txn) return fail(txn.error());
        return View{std::move(*txn), *core.pending_.exclusive()};
    }

    // The exact path over the stored records.
    static Result<std::vector<SearchHit>> stored(Collection& core, const ReadTxn& txn, std::span<const float> q,
                                                 std::uint64_t k, const std::vector<FilterCondition>* filter) {
        if (k == 0) return std::vector<SearchHit>{};
        if (auto served = mirrored_search(core, txn, q, k, filter)) return std::move(*served);
        auto vectors = core.vector_store_.shared();
        return search_stored(*core.meta_db_, txn, q, core.config.metric, *vectors, filter, k,
                             collector_size(k, filter), core.walk_splits_);
    }

    // The graph path, for a core that holds an index (its lock held shared).
    static Result<std::vector<SearchHit>> graph(Collection& core, const ReadTxn& txn, HnswIndex& index,
                                                std::span<const float> q, std::uint64_t k,
                                                const std::vector<FilterCondition>* filter) {
        auto vectors = core.vector_store_.shared();
        return graph_path_hits(index, q, k, filter, *vectors, txn);
    }
};

Result<std::vector<SearchHit>> search_collection(Collection& core, std::span<const float> query, std::uint64_t k,
                                                 const std::vector<FilterCondition>* filter) {
    if (query.size() != core.config.dimensions)
        return fail(StoreError::dimension_mismatch(core.config.dimensions, query.size()));
    if (auto st = ensure_index(core); !st) return fail(st.error());
    const Metric metric = core.config.metric;
    const std::vector<float> q = normalize(metric, query);

    // index_lock comes before the transaction (see the lock order).
    auto index = core.index_.shared();
    // The exact path asks nothing of the table for k = 0, and every buffered
    // hit would be cut: no transaction is begun.
    if (k == 0 && !*index) return std::vector<SearchHit>{};
    auto view = Collection::SearchSteps::view(core);
    if (!view) return fail(view.error());
    auto stored = *index ? Collection::SearchSteps::graph(core, view->txn, **index, q, k, filter)
                         : Collection::SearchSteps::stored(core, view->txn, q, k, filter);
    if (!stored) return fail(stored.error());
    std::vector<SearchHit> hits = std::move(*stored);

    const WriteBehind& snapshot = view->buffer;
    if (snapshot.size() != 0) {
        if (k > 0) {
            std::vector<BufferedCandidate> entries;
            entries.reserve(snapshot.size());
            snapshot.for_each([&](const PendingWrite& w) { entries.push_back(BufferedCandidate{&w.record, w.vector}); });
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
