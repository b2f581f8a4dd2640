#pragma once
// The exact searches: every candidate is scored against the query and the
// best k are kept. Below 500 items the scan runs on the calling thread, from
// 500 on across the worker pool; both give the same pairs in the same order,
// so the hits never depend on the pool size or timing. The query is already
// normalised and has the collection's dimension.
#include <cstdint>
#include <span>
#include <vector>

#include "base/scored_index.h"
#include "search/filter/filter_condition.h"
#include "search/search_hit.h"
#include "storage/metric.h"
#include "storage/record.h"
#include "storage/vectors.h"

namespace tessello {

inline constexpr std::size_t kParallelScanThreshold = 500;

// The order of every ranking: the better score first (higher for Cosine and
// Dot, lower for L2), a NaN after every number. Equal scores are equivalent,
// so a stable sort keeps their given order.
inline bool score_ranks_before(float a, float b, bool higher_is_better) {
    if (a != a) return false;
    if (b != b) return true;
    return higher_is_better ? a > b : a < b;
}

// A stored record selected for scoring. Its strings point into the read
// transaction the search walks, so candidates live no longer than it.
struct ScanCandidate {
    std::uint64_t slot;
    RecordView record;
};

// (score, candidate index) in candidate order; a slot at or beyond slot_count
// and a slot carrying the deleted mark are skipped without error. The caller
// holds the vector store's lock (shared) for the whole call.
std::vector<ScoredIndex> scan_slots(std::span<const ScanCandidate> candidates, std::span<const float> query,
                                    Metric metric, const VectorStore& store);
std::vector<ScoredIndex> scan_slots_parallel(std::span<const ScanCandidate> candidates,
                                             std::span<const float> query, Metric metric,
                                             const VectorStore& store);

// A buffered record as the scan of the write-behind buffer scores it: the
// record as it will be stored and its prepared vector, both owned by the caller.
struct BufferedCandidate {
    const Record* record;
    std::span<const float> vector;
};

// (score, entry index) in snapshot order over Active, unexpired entries that
// pass the filter when one is given (an empty filter still parses metadata).
std::vector<ScoredIndex> scan_pending(std::span<const BufferedCandidate> entries, std::span<const float> query,
                                      Metric metric, const std::vector<FilterCondition>* filter);
std::vector<ScoredIndex> scan_pending_parallel(std::span<const BufferedCandidate> entries,
                                               std::span<const float> query, Metric metric,
                                               const std::vector<FilterCondition>* filter);

// The best min(k, cap) stored hits, best first; ties keep candidate order.
std::vector<SearchHit> search_candidates(std::span<const ScanCandidate> candidates, std::span<const float> query,
                                         Metric metric, const VectorStore& store, std::uint64_t k,
                                         std::uint64_t cap);
// What search_candidates keeps, scored one by one on the calling thread: the
// best `cap` pairs (score, candidate index), best first.
std::vector<ScoredIndex> best_candidates_sequential(std::span<const ScanCandidate> candidates,
                                                    std::span<const float> query, Metric metric,
                                                    const VectorStore& store, std::uint64_t cap);

// The hit of one stored candidate: a copy of its identifier, its metadata
// parsed (null when it is not JSON) and the score.
SearchHit stored_hit(const ScanCandidate& candidate, float score);

// The best k buffered hits, best first; ties keep snapshot order.
std::vector<SearchHit> search_pending(std::span<const BufferedCandidate> entries, std::span<const float> query,
                                      Metric metric, const std::vector<FilterCondition>* filter,
                                      std::uint64_t k);

}  // namespace tessello
