#pragma once
// One pass of exact searches over a core's record mirror
// (collection/record_mirror.h): every query of the pass is scored against
// each block of vectors while the block is in cache, so N searches read the
// vector file once.
//
// For each query the result is exactly that of search_stored over a read
// transaction of the state the mirror reflects: the same hits, scores and
// order. Candidates are the Active records unexpired at the pass's second
// that pass the query's filter, scored in place in the vector file in slot
// order; ties are broken by identifier byte order, as the walk's key order
// breaks them, and a NaN score ranks below every number.
//
// Large passes are cut into chunks that the calling thread, the callers
// waiting on the pass and threads of the worker pool take in turn, fewer pool
// threads the more passes run at once in the process, so that they do not
// queue behind each other's work. The caller holds mirror_lock and
// vector_store_lock shared for the whole pass, waiting callers read under
// them.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/shared_pass.h"
#include "collection/record_mirror.h"
#include "search/filter/filter_condition.h"
#include "search/search_hit.h"
#include "storage/metric.h"
#include "storage/vectors.h"

namespace tessello {

// One search of a pass, with what the pass gives it.
struct MirrorQuery {
    std::uint64_t snapshot = 0;  // of the search's read transaction
    std::span<const float> query;
    std::uint64_t k = 0;                                   // > 0
    const std::vector<FilterCondition>* filter = nullptr;  // non-empty, or null
    // The hits, or the mirror's error; nothing when the mirror could not
    // serve the search (it reflects another state, or lacks parsed forms).
    std::optional<Result<std::vector<SearchHit>>> outcome;
    bool mirror_ahead = false;  // unserved because the mirror reflects a later commit
};

// Fills outcome of every query with its hits; `now` is the Unix second
// expiry is tested at. A pass run by a SharedPass (crew, or null) shares its
// chunks with the callers waiting on it while it scans.
void scan_mirror(const RecordMirror& mirror, Metric metric, const VectorStore& store, std::uint64_t now,
                 std::span<MirrorQuery* const> queries, SharedPass<MirrorQuery>* crew);

}  // namespace tessello
