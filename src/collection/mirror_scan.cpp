#include "collection/mirror_scan.h"

#include <algorithm>
#include <atomic>

#include "base/worker_pool.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/filter/matches_filter.h"

namespace tessello {

namespace {

// Below this many floats of scoring (8 MiB of vectors for one query) one
// thread runs the pass: handing pieces to the pool costs more than it saves.
constexpr std::uint64_t kPoolMinFloats = std::uint64_t{1} << 21;
// No piece smaller than this (2 MiB for one query).
constexpr std::uint64_t kMinPieceFloats = std::uint64_t{1} << 19;
// Positions in the list of extras are told apart from slots by this bit.
constexpr std::uint64_t kExtraBit = std::uint64_t{1} << 63;
// Slots whose checks run before any of them is scored: the block's vectors
// then stay in cache while every query of the pass scores them.
constexpr std::size_t kBlockSlots = 64;

// Passes scanning a mirror right now, in this process: the pool is shared,
// so each takes its share of the pool's threads.
std::atomic<std::uint64_t> passes_running{0};

struct Kept {
    float score;
    std::uint64_t code;  // a slot, or kExtraBit | an index into the extras
};

// The order of the collector over the whole candidate list: the better
// score first, NaN after every number, and among equal scores the smaller
// identifier, which is the one the walk in key order would push first.
class Ranking {
public:
    Ranking(const RecordMirror& mirror, bool higher) : mirror_(mirror), higher_(higher) {}

    std::string_view id(std::uint64_t code) const { return mirror_.id_of(entry(code)); }
    const RecordMirror::Entry& entry(std::uint64_t code) const {
        return code & kExtraBit ? mirror_.extras()[code & ~kExtraBit].entry : mirror_.slots()[code];
    }
    bool higher() const { return higher_; }
    bool operator()(const Kept& a, const Kept& b) const {
        if (score_ranks_before(a.score, b.score, higher_)) return true;
        if (score_ranks_before(b.score, a.score, higher_)) return false;
        return id(a.code) < id(b.code);
    }

private:
    const RecordMirror& mirror_;
    bool higher_;
};

// The best k offered, as a heap whose front is the worst kept. Once full, a
// score that ranks below the worst kept is turned away on the score alone.
class Best {
public:
    Best(const Ranking& rank, std::uint64_t k) : rank_(&rank), k_(k) {}

    void offer(float score, std::uint64_t code) {
        if (full_ && score_ranks_before(worst_, score, rank_->higher())) return;
        const Kept x{score, code};
        if (kept_.size() < k_) {
            kept_.push_back(x);
            std::push_heap(kept_.begin(), kept_.end(), *rank_);
            full_ = kept_.size() == k_;
        } else if ((*rank_)(x, kept_.front())) {
            std::pop_heap(kept_.begin(), kept_.end(), *rank_);
            kept_.back() = x;
            std::push_heap(kept_.begin(), kept_.end(), *rank_);
        } else {
            return;
        }
        if (full_) worst_ = kept_.front().score;
    }
    std::vector<Kept>& kept() { return kept_; }

private:
    const Ranking* rank_;
    std::uint64_t k_;
    std::vector<Kept> kept_;
    bool full_ = false;
    float worst_ = 0;
};

struct Pass {
    const RecordMirror& mirror;
    std::span<MirrorQuery* const> queries;
    std::vector<std::span<const float>> trimmed;  // each query, no longer than a stored vector
    DistanceKernels kernels;
    const VectorStore& store;
    std::uint64_t now;
    // Eight (or four) vectors side by side keep the FMA units busy on
    // vectors already in cache; on a pass that streams from memory the
    // interleaved streams stall more than one sequential stream does, so
    // there the first query scores the vectors one after the other, which
    // brings them into cache for the rest. Either way the bits agree.
    bool many_at_once;

    // Scores the candidates among slots [from, to) for every query, in slot
    // order, into best[query]. The caller bounds `to` by the vector file's
    // slot count.
    void slots(std::uint64_t from, std::uint64_t to, std::span<Best> best) const {
        const auto& entries = mirror.slots();
        std::uint64_t codes[kBlockSlots];
        const float* vectors[kBlockSlots];
        std::uint64_t picked_codes[kBlockSlots];
        const float* picked[kBlockSlots];
        float scores[kBlockSlots];
        for (std::uint64_t begin = from; begin < to; begin += kBlockSlots) {
            const std::uint64_t end = std::min<std::uint64_t>(to, begin + kBlockSlots);
            // Held, Active and unexpired: the checks every query shares. The
            // vector is not read yet: the deleted mark is looked at once it
            // is in cache for scoring.
            std::size_t m = 0;
            for (std::uint64_t s = begin; s < end; ++s) {
                if (!entries[s].live_at(now)) continue;
                codes[m] = s;
                vectors[m++] = store.slot_view(s).data();
            }
            if (m == 0) continue;
            for (std::size_t j = 0; j < queries.size(); ++j) {
                const std::vector<FilterCondition>* filter = queries[j]->filter;
                const std::uint64_t* c = codes;
                const float* const* v = vectors;
                std::size_t n = m;
                if (filter) {
                    n = 0;
                    for (std::size_t i = 0; i < m; ++i)
                        if (matches_filter(*filter, mirror.slot_form(codes[i]))) {
                            picked_codes[n] = codes[i];
                            picked[n++] = vectors[i];
                        }
                    c = picked_codes;
                    v = picked;
                }
                score(trimmed[j], v, n, many_at_once || j > 0, scores);
                // A deleted slot is scored along with the others (the kernels
                // have no effects) and its score dropped, so the vectors
                // stream through the kernel in slot order. Once the first
                // query has brought them into cache, the deleted ones leave
                // the block's list, so later queries neither score nor check them.
                if (j > 0) {
                    for (std::size_t i = 0; i < n; ++i) best[j].offer(scores[i], c[i]);
                    continue;
                }
                for (std::size_t i = 0; i < n; ++i)
                    if (!is_deleted_mark(std::span<const float>(v[i], 1))) best[j].offer(scores[i], c[i]);
                if (queries.size() > 1) {
                    std::size_t kept = 0;
                    for (std::size_t i = 0; i < m; ++i)
                        if (!is_deleted_mark(std::span<const float>(vectors[i], 1))) {
                            codes[kept] = codes[i];
                            vectors[kept++] = vectors[i];
                        }
                    m = kept;
                }
            }
        }
    }

    void score(std::span<const float> q, const float* const* v, std::size_t n, bool many, float* out) const {
        std::size_t i = 0;
        if (many) {
            for (; i + 8 <= n; i += 8) kernels.eight(q, v + i, out + i);
            for (; i + 4 <= n; i += 4) kernels.four(q, v + i, out + i);
        }
        for (; i < n; ++i) out[i] = kernels.one(q, {v[i], q.size()});
    }

    // The records kept beside the slot array, for query j.
    void extras(std::size_t j, Best& best) const {
        const auto& extras = mirror.extras();
        const std::vector<FilterCondition>* filter = queries[j]->filter;
        for (std::size_t i = 0; i < extras.size(); ++i) {
            const std::uint64_t slot = extras[i].slot;
            if (!extras[i].entry.live_at(now) || slot >= store.slot_count()) continue;
            if (filter && !matches_filter(*filter, mirror.extra_form(i))) continue;
            const std::span<const float> v = store.slot_view(slot);
            if (!is_deleted_mark(v)) best.offer(kernels.one(trimmed[j], v.first(trimmed[j].size())), kExtraBit | i);
        }
    }
};

}  // namespace

void scan_mirror(const RecordMirror& mirror, Metric metric, const VectorStore& store, std::uint64_t now,
                 std::span<MirrorQuery* const> queries) {
    if (queries.empty()) return;
    const std::size_t dims = queries[0]->query.size();
    const std::uint64_t n = std::min<std::uint64_t>(mirror.slots().size(), store.slot_count());
    const std::uint64_t floats = n * dims;
    Pass pass{mirror, queries, {}, distance_kernels(metric), store, now, floats < kPoolMinFloats};
    // A kernel runs over the shorter of its two vectors; cutting the query to
    // the stored length lets the four-at-once kernel, which reads the query's
    // length of each vector, give the same scores.
    for (const MirrorQuery* q : queries)
        pass.trimmed.push_back(q->query.first(std::min<std::size_t>(q->query.size(), store.dimensions())));
    const Ranking rank(mirror, higher_is_better(metric));

    struct Running {
        std::uint64_t others = passes_running.fetch_add(1);
        ~Running() { passes_running.fetch_sub(1); }
    } running;
    WorkerPool& pool = WorkerPool::global();
    const std::uint64_t work = floats * queries.size();
    std::uint64_t pieces = 1;
    if (work >= kPoolMinFloats) {
        const std::uint64_t share = std::max<std::uint64_t>(1, pool.threads() / (running.others + 1));
        pieces = std::clamp<std::uint64_t>(work / kMinPieceFloats, 1, share);
    }

    // parts[piece * queries + j]: what piece found for query j.
    std::vector<Best> parts;
    parts.reserve(pieces * queries.size());
    for (std::uint64_t p = 0; p < pieces; ++p)
        for (const MirrorQuery* q : queries) parts.emplace_back(rank, q->k);
    auto piece = [&](std::uint64_t p) {
        pass.slots(n * p / pieces, n * (p + 1) / pieces,
                   std::span<Best>(parts).subspan(p * queries.size(), queries.size()));
    };
    if (pieces > 1) {
        tbb::task_group group;
        for (std::uint64_t p = 1; p < pieces; ++p) pool.enqueue(group, [&piece, p] { piece(p); });
        piece(0);
        pool.wait(group);
    } else {
        piece(0);
    }

    for (std::size_t j = 0; j < queries.size(); ++j) {
        pass.extras(j, parts[j]);
        std::vector<Kept> all = std::move(parts[j].kept());
        for (std::uint64_t p = 1; p < pieces; ++p) {
            const std::vector<Kept>& more = parts[p * queries.size() + j].kept();
            all.insert(all.end(), more.begin(), more.end());
        }
        std::sort(all.begin(), all.end(), rank);
        if (all.size() > queries[j]->k) all.resize(queries[j]->k);
        std::vector<SearchHit> hits;
        hits.reserve(all.size());
        for (const Kept& x : all) {
            const RecordMirror::Entry& e = rank.entry(x.code);
            hits.push_back(SearchHit{std::string(mirror.id_of(e)), metadata_value(mirror.metadata_of(e)), x.score});
        }
        queries[j]->outcome = Result<std::vector<SearchHit>>(std::move(hits));
    }
}

}  // namespace tessello
