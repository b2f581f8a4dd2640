#pragma once
// search_stored: the exact search over a collection's stored records.
//
// Walks table "records" in key order. Every record is decoded; Active,
// unexpired records that pass the filter (when one is given; their metadata
// is parsed only then) are the candidates, scored in place in the vector
// store. The result is exactly search_candidates over the candidates in key
// order; the first value in key order that does not decode fails the search
// with its error.
//
// The work runs on the worker pool. A walk learns split keys that cut the
// table into runs of about equal size; the next search walks those runs at
// once, each on a read transaction of its own that sees the same committed
// state as the caller's (checked by snapshot id; otherwise it walks on one
// thread, handing batches to the pool as it reads). Every run keeps only its
// best `cap`, and joining the runs in key order gives the collector of the
// whole candidate list.
//
// The caller holds the vector store's lock (shared) and the read transaction
// `txn` for the whole call.
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "search/filter/filter_condition.h"
#include "search/search_hit.h"
#include "storage/kv_store.h"
#include "storage/metric.h"
#include "storage/vectors.h"

namespace tessello {

// Split keys of one table, from the last walk; empty before the first.
class WalkSplits {
public:
    std::vector<std::string> get() const;
    void set(std::vector<std::string> keys);

private:
    mutable std::mutex mu_;
    std::vector<std::string> keys_;
};

Result<std::vector<SearchHit>> search_stored(KvStore& db, const ReadTxn& txn, std::span<const float> query,
                                             Metric metric, const VectorStore& store,
                                             const std::vector<FilterCondition>* filter, std::uint64_t k,
                                             std::uint64_t cap, WalkSplits& splits);

}  // namespace tessello
