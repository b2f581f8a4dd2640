#include "search/exact.h"

#include <algorithm>

#include "base/worker_pool.h"
#include "json/json_reader.h"
#include "search/distance.h"
#include "search/filter/matches_filter.h"
#include "search/parallel_top_k.h"
#include "search/top_k.h"

namespace tessello {

JsonValue metadata_value(std::string_view text) {
    auto value = parse_json(text);
    return value ? std::move(*value) : JsonValue();
}

namespace {

constexpr std::size_t kPrefetchDistance = 8;
// Enough lines for the hardware prefetcher to take over on long vectors.
constexpr std::size_t kPrefetchLines = 16;

auto slot_scorer(std::span<const ScanCandidate> candidates, std::span<const float> query, Metric metric,
                 const VectorStore& store) {
    return [=, &store](std::uint64_t i) -> std::optional<float> {
        // Candidates come in identifier order, so their slots jump around the
        // file: ask for a later candidate's vector ahead of time.
        if (i + kPrefetchDistance < candidates.size()) {
            const std::uint64_t ahead = candidates[i + kPrefetchDistance].slot;
            if (ahead < store.slot_count()) {
                const char* p = reinterpret_cast<const char*>(store.slot_view(ahead).data());
                const std::size_t lines = std::min<std::size_t>(store.stride() / 64 + 1, kPrefetchLines);
                for (std::size_t l = 0; l < lines; ++l) __builtin_prefetch(p + 64 * l);
            }
        }
        const std::uint64_t slot = candidates[i].slot;
        if (slot >= store.slot_count()) return std::nullopt;
        const std::span<const float> v = store.slot_view(slot);
        if (is_deleted_mark(v)) return std::nullopt;
        return distance(metric, query, v);
    };
}

auto pending_scorer(std::span<const BufferedCandidate> entries, std::span<const float> query, Metric metric,
                    const std::vector<FilterCondition>* filter) {
    return [=](std::uint64_t i) -> std::optional<float> {
        const Record& r = *entries[i].record;
        if (!is_record_live(r, now_unix_secs())) return std::nullopt;
        if (filter && !matches_filter(*filter, metadata_value(r.metadata))) return std::nullopt;
        return distance(metric, query, entries[i].vector);
    };
}

// Pushes the pairs in item order, so ties resolve the same whatever the scan form.
std::vector<ScoredIndex> best(std::vector<ScoredIndex> pairs, std::uint64_t size, Metric metric) {
    const bool higher = higher_is_better(metric);
    if (size >= pairs.size()) {
        // Room for every pair: the collector would keep them all in the order
        // of a stable best-first sort, which this gives without its
        // per-push insertion cost.
        std::stable_sort(pairs.begin(), pairs.end(), [higher](const ScoredIndex& a, const ScoredIndex& b) {
            return score_ranks_before(a.score, b.score, higher);
        });
        return pairs;
    }
    TopK top(size, higher, pairs.size() + 1);
    for (const ScoredIndex& p : pairs) topk_push(top, p.index, p.score);
    return std::move(top).take_entries();
}

}  // namespace

std::vector<ScoredIndex> scan_slots(std::span<const ScanCandidate> candidates, std::span<const float> query,
                                    Metric metric, const VectorStore& store) {
    return collect_in_order_sequential(candidates.size(), slot_scorer(candidates, query, metric, store));
}

std::vector<ScoredIndex> scan_slots_parallel(std::span<const ScanCandidate> candidates,
                                             std::span<const float> query, Metric metric,
                                             const VectorStore& store) {
    return WorkerPool::global().collect_in_order(candidates.size(), slot_scorer(candidates, query, metric, store));
}

std::vector<ScoredIndex> scan_pending(std::span<const BufferedCandidate> entries, std::span<const float> query,
                                      Metric metric, const std::vector<FilterCondition>* filter) {
    return collect_in_order_sequential(entries.size(), pending_scorer(entries, query, metric, filter));
}

std::vector<ScoredIndex> scan_pending_parallel(std::span<const BufferedCandidate> entries,
                                               std::span<const float> query, Metric metric,
                                               const std::vector<FilterCondition>* filter) {
    return WorkerPool::global().collect_in_order(entries.size(), pending_scorer(entries, query, metric, filter));
}

std::vector<SearchHit> search_candidates(std::span<const ScanCandidate> candidates, std::span<const float> query,
                                         Metric metric, const VectorStore& store, std::uint64_t k,
                                         std::uint64_t cap) {
    std::vector<ScoredIndex> kept;
    if (candidates.size() < kParallelScanThreshold) {
        kept = best_candidates_sequential(candidates, query, metric, store, cap);
    } else if (cap >= candidates.size()) {
        kept = best(scan_slots_parallel(candidates, query, metric, store), cap, metric);
    } else {
        // The usual case: few hits wanted from many candidates. Each piece of
        // the pool keeps its own best, which gives the same entries as pushing
        // every pair in order.
        kept = parallel_top_k(WorkerPool::global(), candidates.size(), slot_scorer(candidates, query, metric, store),
                              cap, higher_is_better(metric));
    }
    std::vector<SearchHit> hits;
    const std::size_t n = std::min<std::uint64_t>(k, kept.size());
    hits.reserve(n);
    for (std::size_t i = 0; i < n; ++i) hits.push_back(stored_hit(candidates[kept[i].index], kept[i].score));
    return hits;
}

std::vector<ScoredIndex> best_candidates_sequential(std::span<const ScanCandidate> candidates,
                                                    std::span<const float> query, Metric metric,
                                                    const VectorStore& store, std::uint64_t cap) {
    return best(scan_slots(candidates, query, metric, store), cap, metric);
}

SearchHit stored_hit(const ScanCandidate& candidate, float score) {
    return SearchHit{std::string(candidate.record.id), metadata_value(candidate.record.metadata), score};
}

std::vector<SearchHit> search_pending(std::span<const BufferedCandidate> entries, std::span<const float> query,
                                      Metric metric, const std::vector<FilterCondition>* filter,
                                      std::uint64_t k) {
    auto pairs = entries.size() < kParallelScanThreshold
                           ? scan_pending(entries, query, metric, filter)
                           : scan_pending_parallel(entries, query, metric, filter);
    const auto kept = best(std::move(pairs), k, metric);
    std::vector<SearchHit> hits;
    hits.reserve(kept.size());
    for (const ScoredIndex& p : kept) {
        const Record& r = *entries[p.index].record;
        hits.push_back(SearchHit{r.id, metadata_value(r.metadata), p.score});
    }
    return hits;
}

}  // namespace tessello
