#include "collection/mirror_search.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/clock.h"
#include "base/worker_pool.h"
#include "collection/record_mirror.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/filter/matches_filter.h"

namespace tessello {

namespace {

// Below this many floats of vectors (8 MiB) one thread scans them: handing
// pieces to the pool costs more than it saves.
constexpr std::uint64_t kPoolMinFloats = std::uint64_t{1} << 21;
// No piece smaller than this (2 MiB).
constexpr std::uint64_t kMinPieceFloats = std::uint64_t{1} << 19;
// Positions in the list of extras are told apart from slots by this bit.
constexpr std::uint64_t kExtraBit = std::uint64_t{1} << 63;

// Searches scanning a mirror right now, in this process: the pool is shared,
// so each takes its share of the pool's threads.
std::atomic<std::uint64_t> scans_running{0};

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
    bool operator()(const Kept& a, const Kept& b) const {
        if (score_ranks_before(a.score, b.score, higher_)) return true;
        if (score_ranks_before(b.score, a.score, higher_)) return false;
        return id(a.code) < id(b.code);
    }

private:
    const RecordMirror& mirror_;
    bool higher_;
};

// The best k offered, as a heap whose front is the worst kept.
class Best {
public:
    Best(const Ranking& rank, std::uint64_t k) : rank_(&rank), k_(k) {}

    void offer(float score, std::uint64_t code) {
        const Kept x{score, code};
        if (kept_.size() < k_) {
            kept_.push_back(x);
            std::push_heap(kept_.begin(), kept_.end(), *rank_);
        } else if ((*rank_)(x, kept_.front())) {
            std::pop_heap(kept_.begin(), kept_.end(), *rank_);
            kept_.back() = x;
            std::push_heap(kept_.begin(), kept_.end(), *rank_);
        }
    }
    std::vector<Kept>& kept() { return kept_; }

private:
    const Ranking* rank_;
    std::uint64_t k_;
    std::vector<Kept> kept_;
};

// Slots whose checks run before any of them is scored: the vectors of a
// block are then scored four at a time in one tight loop.
constexpr std::size_t kBlockSlots = 64;

struct Scan {
    const RecordMirror& mirror;
    std::span<const float> query;  // no longer than a stored vector
    DistanceKernels kernels;
    const VectorStore& store;
    const std::vector<FilterCondition>* filter;  // non-empty, or null
    std::uint64_t now;
    // Four vectors side by side keep the FMA units busy on vectors already
    // in cache; on a scan that streams from memory the four interleaved
    // streams stall more than one sequential stream does, so there the
    // vectors are scored one after the other. Either way the bits agree.
    bool four_at_once;

    // Held, Active and unexpired now: the checks that read the entry only.
    bool live(const RecordMirror::Entry& e) const { return e.live_at(now); }

    // Whether a held, live record passes the filter and its slot lies in the
    // vector file. Its vector is not read yet: the deleted mark is looked at
    // once the vector is in cache for scoring.
    bool admitted(std::uint64_t slot, const JsonValue* form) const {
        return slot < store.slot_count() && (!filter || matches_filter(*filter, *form));
    }

    // Scores the candidates among slots [from, to), in slot order. The caller
    // bounds `to` by the vector file's slot count.
    void slots(std::uint64_t from, std::uint64_t to, Best& best) const {
        const auto& entries = mirror.slots();
        std::uint64_t codes[kBlockSlots];
        const float* vectors[kBlockSlots];
        float scores[kBlockSlots];
        for (std::uint64_t begin = from; begin < to; begin += kBlockSlots) {
            const std::uint64_t end = std::min<std::uint64_t>(to, begin + kBlockSlots);
            std::size_t m = 0;
            for (std::uint64_t s = begin; s < end; ++s) {
                if (!live(entries[s]) || !admitted(s, filter ? &mirror.slot_form(s) : nullptr)) continue;
                codes[m] = s;
                vectors[m++] = store.slot_view(s).data();
            }
            // A deleted slot is scored along with the others (the kernels
            // have no effects) and its score dropped, so the vectors stream
            // through the kernel in slot order.
            std::size_t i = 0;
            if (four_at_once)
                for (; i + 4 <= m; i += 4) kernels.four(query, vectors + i, scores + i);
            for (; i < m; ++i) scores[i] = kernels.one(query, {vectors[i], query.size()});
            for (i = 0; i < m; ++i)
                if (!is_deleted_mark(store.slot_view(codes[i]))) best.offer(scores[i], codes[i]);
        }
    }

    void extras(Best& best) const {
        const auto& extras = mirror.extras();
        for (std::size_t i = 0; i < extras.size(); ++i) {
            const std::uint64_t slot = extras[i].slot;
            if (!live(extras[i].entry) || !admitted(slot, filter ? &mirror.extra_form(i) : nullptr)) continue;
            const std::span<const float> v = store.slot_view(slot);
            if (!is_deleted_mark(v)) best.offer(kernels.one(query, v.first(query.size())), kExtraBit | i);
        }
    }
};

std::vector<SearchHit> scan_mirror(const RecordMirror& mirror, std::span<const float> query, Metric metric,
                                   const VectorStore& store, const std::vector<FilterCondition>* filter,
                                   std::uint64_t k) {
    // A kernel runs over the shorter of its two vectors; cutting the query to
    // the stored length lets the four-at-once kernel, which reads the query's
    // length of each vector, give the same scores.
    const std::span<const float> q = query.first(std::min<std::size_t>(query.size(), store.dimensions()));
    const std::uint64_t n = std::min<std::uint64_t>(mirror.slots().size(), store.slot_count());
    const std::uint64_t floats = n * query.size();
    const Scan scan{mirror, q, distance_kernels(metric), store, filter, now_unix_secs(), floats < kPoolMinFloats};
    const Ranking rank(mirror, higher_is_better(metric));

    struct Running {
        std::uint64_t others = scans_running.fetch_add(1);
        ~Running() { scans_running.fetch_sub(1); }
    } running;
    WorkerPool& pool = WorkerPool::global();
    std::uint64_t pieces = 1;
    if (floats >= kPoolMinFloats) {
        const std::uint64_t share = std::max<std::uint64_t>(1, pool.threads() / (running.others + 1));
        pieces = std::clamp<std::uint64_t>(floats / kMinPieceFloats, 1, share);
    }

    std::vector<std::unique_ptr<Best>> parts;
    for (std::uint64_t i = 0; i < pieces; ++i) parts.push_back(std::make_unique<Best>(rank, k));
    auto piece = [&](std::uint64_t i) { scan.slots(n * i / pieces, n * (i + 1) / pieces, *parts[i]); };
    if (pieces > 1) {
        tbb::task_group group;
        for (std::uint64_t i = 1; i < pieces; ++i) pool.enqueue(group, [&piece, i] { piece(i); });
        piece(0);
        pool.wait(group);
    } else {
        piece(0);
    }
    scan.extras(*parts[0]);

    std::vector<Kept> all = std::move(parts[0]->kept());
    for (std::uint64_t i = 1; i < pieces; ++i) all.insert(all.end(), parts[i]->kept().begin(), parts[i]->kept().end());
    std::sort(all.begin(), all.end(), rank);
    if (all.size() > k) all.resize(k);

    std::vector<SearchHit> hits;
    hits.reserve(all.size());
    for (const Kept& x : all) {
        const RecordMirror::Entry& e = rank.entry(x.code);
        hits.push_back(SearchHit{std::string(mirror.id_of(e)), metadata_value(mirror.metadata_of(e)), x.score});
    }
    return hits;
}

}  // namespace

std::optional<Result<std::vector<SearchHit>>> mirrored_search(Collection& core, const ReadTxn& txn,
                                                              std::span<const float> query, std::uint64_t k,
                                                              const std::vector<FilterCondition>* filter) {
    // An empty filter lets every record pass: its metadata need not be read.
    const std::vector<FilterCondition>* conditions = filter && !filter->empty() ? filter : nullptr;
    const std::uint64_t snapshot = txn.snapshot_id();
    // The second round finds what the first one made, unless a commit came
    // in between and the mirror now reflects it.
    for (int round = 0; round < 2; ++round) {
        {
            auto mirror = core.mirror_.shared();
            if (mirror->serves(snapshot) && (!conditions || mirror->has_forms() || mirror->error())) {
                if (mirror->error()) return Result<std::vector<SearchHit>>(fail(*mirror->error()));
                auto vectors = core.vector_store_.shared();
                return Result<std::vector<SearchHit>>(scan_mirror(*mirror, query, core.config.metric, *vectors,
                                                                  conditions, k));
            }
            if (mirror->ahead_of(snapshot)) return std::nullopt;
        }
        auto mirror = core.mirror_.exclusive();
        if (!mirror->serves(snapshot)) {
            if (mirror->ahead_of(snapshot)) return std::nullopt;
            const std::uint64_t slots = core.vector_store_.shared()->slot_count();
            if (!mirror->rebuild(txn, slots)) return std::nullopt;
        }
        if (conditions && !mirror->has_forms() && !mirror->error()) mirror->make_forms();
    }
    return std::nullopt;
}

std::optional<Result<std::uint64_t>> mirrored_live_count(Collection& core, const ReadTxn& txn) {
    auto mirror = core.mirror_.shared();
    if (!mirror->serves(txn.snapshot_id())) return std::nullopt;
    if (mirror->error()) return Result<std::uint64_t>(fail(*mirror->error()));
    return Result<std::uint64_t>(mirror->live_count(now_unix_secs()));
}

MirrorFootprint mirror_footprint(Collection& core) { return core.mirror_.shared()->footprint(); }

}  // namespace tessello
