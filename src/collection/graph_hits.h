#pragma once
// The graph path of a collection's search: the candidates the graph offers
// (graph_candidates) turned into hits by looking each one up in table
// "records". The graph knows nodes; whether a node's record is live, what its
// metadata holds and whether it passes a filter is the collection's to say.
#include <cstdint>
#include <span>
#include <vector>

#include "search/filter/filter_condition.h"
#include "search/hnsw/hnsw_graph.h"
#include "search/search_hit.h"
#include "storage/kv_store.h"
#include "storage/vectors.h"

namespace tessello {

// At most k_prime hits, best first: the first 2 k_prime candidates of
// graph_candidates (ef = max(ef_search, 2 k_prime)) are looked up in table
// "records" of `txn`. Absent, non-Active and expired records are skipped; a
// hit carries the stored metadata parsed (null when not JSON) and the walk's
// score. A lookup error drops every hit.
//
// The caller holds the collection's index lock and vector store lock, both
// shared, and began `txn` before it took the vector store lock (the
// collection's lock order); this function takes neither lock.
Result<std::vector<SearchHit>> search_hnsw(HnswIndex& index, std::span<const float> query, std::uint64_t k_prime,
                                           const VectorStore& store, const ReadTxn& txn);

// The stored hits of a search that goes through the graph. Without a filter:
// search_hnsw with k. With one (even an empty list): search_hnsw with
// min(4k, node count), keeping the first k hits whose metadata passes it.
// Locks and transaction as for search_hnsw. The query is already normalised.
Result<std::vector<SearchHit>> graph_path_hits(HnswIndex& index, std::span<const float> query, std::uint64_t k,
                                               const std::vector<FilterCondition>* filter, const VectorStore& store,
                                               const ReadTxn& txn);

}  // namespace tessello
