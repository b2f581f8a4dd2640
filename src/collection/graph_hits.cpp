#include "collection/graph_hits.h"

#include <limits>

#include "search/exact.h"
#include "search/filter/matches_filter.h"
#include "search/hnsw/graph_search.h"
#include "storage/records_table.h"

namespace tessello {

Result<std::vector<SearchHit>> search_hnsw(HnswIndex& index, std::span<const float> query, std::uint64_t k_prime,
                                           const VectorStore& store, const ReadTxn& txn) {
    constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
    // 2k' saturates: no graph holds that many nodes anyway.
    const std::uint64_t wanted = k_prime > kMaxU64 / 2 ? kMaxU64 : 2 * k_prime;
    const std::vector<GraphFind> found = graph_candidates(index, query, wanted, store);

    std::vector<SearchHit> hits;
    for (const GraphFind& f : found) {
        if (hits.size() >= k_prime) break;
        auto record = get_record(txn, f.id);
        if (!record) return fail(record.error());
        if (!*record || !is_record_live(**record, now_unix_secs())) continue;
        hits.push_back(SearchHit{std::move((*record)->id), metadata_value((*record)->metadata), f.score});
    }
    return hits;
}

Result<std::vector<SearchHit>> graph_path_hits(HnswIndex& index, std::span<const float> query, std::uint64_t k,
                                               const std::vector<FilterCondition>* filter, const VectorStore& store,
                                               const ReadTxn& txn) {
    if (!filter) return search_hnsw(index, query, k, store, txn);
    const std::uint64_t nodes = hnsw_node_count(index);
    // min(4k, nodes) without forming 4k when it would overflow.
    const std::uint64_t k_prime = k > nodes / 4 ? nodes : 4 * k;
    auto found = search_hnsw(index, query, k_prime, store, txn);
    if (!found) return fail(found.error());
    std::vector<SearchHit> hits;
    for (SearchHit& hit : *found) {
        if (hits.size() >= k) break;
        if (matches_filter(*filter, hit.metadata)) hits.push_back(std::move(hit));
    }
    return hits;
}

}  // namespace tessello
