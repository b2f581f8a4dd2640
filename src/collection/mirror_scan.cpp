#include "collection/mirror_scan.h"

#include <algorithm>
#include <atomic>
#include <functional>

#include "base/worker_pool.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/filter/matches_filter.h"

namespace tessello {

namespace {

// A pass of several queries runs on one thread below this many floats of
// scoring (8 MiB of vectors for one query): handing chunks to the pool
// costs more than it saves.
constexpr std::uint64_t kPoolMinFloats = std::uint64_t{1} << 21;
// Floats of scoring in one chunk of such a pass (4 MiB of vectors for one
// query, 512 KiB for eight): large enough that taking the next chunk costs
// nothing beside scoring it.
constexpr std::uint64_t kChunkFloats = std::uint64_t{1} << 20;
// A lone query, whose caller waits on the pass alone, takes a thread for
// each 1 MiB of vectors (within the pool's share), from two threads up:
// a search of 16,000 × 128 took 160 µs on one thread and 65 µs on eight.
// Its threads take about twelve chunks each (of a block at least), so that
// they end within about a twelfth of the pass of one another however the
// machine hands out its cores: with 4 MiB chunks a search of 100,000 × 128
// had 13 chunks for 8 threads, and waited on the slowest for a third of it.
constexpr std::uint64_t kLoneThreadFloats = std::uint64_t{1} << 18;
constexpr std::uint64_t kLoneChunksPerThread = 12;
// Positions in the list of extras are told apart from slots by this bit.
constexpr std::uint64_t kExtraBit = std::uint64_t{1} << 63;
// Slots whose checks run before any of them is scored: the block's vectors
// then stay in cache while every query of the pass scores them.
constexpr std::size_t kBlockSlots = 64;
// Candidates scored by one call of the grid kernel, and how many slots ahead
// of them their vectors are asked for.
constexpr std::size_t kGroupSlots = 8;
constexpr std::uint64_t kPrefetchSlots = 16;
constexpr std::uint64_t kCacheLine = 64;

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
    // Offers n scores with their codes, in order. Once full, a run of scores
    // none of which can enter (each ranks below the worst kept, which only
    // gets better) is turned away by one comparison loop without branches.
    void offer_all(const float* scores, const std::uint64_t* codes, std::size_t n) {
        std::size_t i = 0;
        for (; i < n && !full_; ++i) offer(scores[i], codes[i]);
        if (i == n || worst_ != worst_) {
            for (; i < n; ++i) offer(scores[i], codes[i]);
            return;
        }
        // Ordered comparisons: a NaN score can never enter once full, as
        // score_ranks_before(worst_, NaN) holds for every number worst_.
        bool any = false;
        const float w = worst_;
        if (rank_->higher())
            for (std::size_t j = i; j < n; ++j) any |= scores[j] >= w;
        else
            for (std::size_t j = i; j < n; ++j) any |= scores[j] <= w;
        if (!any) return;
        for (; i < n; ++i) offer(scores[i], codes[i]);
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
    // The queries without a filter score every candidate of a block, all at
    // once, over `length` values; each query with a filter (or, should one
    // come, of another length) scores alone the candidates it lets through.
    std::vector<std::size_t> plain;
    std::vector<const float*> plain_data;
    std::vector<std::size_t> alone;
    std::size_t length = 0;

    // Scores the candidates among slots [from, to) for every query, in slot
    // order, into best[query]. The caller bounds `to` by the vector file's
    // slot count; from < to.
    void slots(std::uint64_t from, std::uint64_t to, std::span<Best> best) const {
        const auto& entries = mirror.slots();
        std::uint64_t codes[kBlockSlots];
        const float* vectors[kBlockSlots];
        std::uint64_t picked_codes[kBlockSlots];
        const float* picked[kBlockSlots];
        // scores[p * kBlockSlots + i]: plain query p against candidate i.
        std::vector<float> scores(std::max<std::size_t>(1, plain.size()) * kBlockSlots);
        // The vectors of [from, to) lie one after the other in the file. They
        // are asked for a little ahead of their scoring, so that scoring
        // (several queries at once, which would outpace the processor's own
        // guesses) finds them in cache rather than waiting on memory.
        const char* fetched = reinterpret_cast<const char*>(store.slot_view(from).data());
        const char* const last = reinterpret_cast<const char*>(store.slot_view(to - 1).data() + store.dimensions());
        const std::uint64_t ahead = kPrefetchSlots * store.dimensions() * sizeof(float);
        for (std::uint64_t begin = from; begin < to; begin += kBlockSlots) {
            const std::uint64_t end = std::min<std::uint64_t>(to, begin + kBlockSlots);
            // Held, Active and unexpired: the checks every query shares.
            std::size_t m = 0;
            for (std::uint64_t s = begin; s < end; ++s) {
                if (!entries[s].live_at(now)) continue;
                codes[m] = s;
                vectors[m++] = store.slot_view(s).data();
            }
            if (m == 0) continue;
            for (std::size_t g = 0; g < m; g += kGroupSlots) {
                const std::size_t count = std::min(kGroupSlots, m - g);
                const char* const want =
                    std::min(last, reinterpret_cast<const char*>(vectors[g + count - 1] + store.dimensions()) + ahead);
                for (; fetched < want; fetched += kCacheLine) __builtin_prefetch(fetched);
                if (!plain.empty())
                    kernels.grid(plain_data.data(), plain.size(), length, vectors + g, count, scores.data() + g,
                                 kBlockSlots);
            }
            // A deleted slot is scored along with the others (the kernels
            // have no effects) and its scores dropped here, where its vector
            // is in cache.
            std::size_t kept = 0;
            for (std::size_t i = 0; i < m; ++i) {
                if (is_deleted_mark(std::span<const float>(vectors[i], 1))) continue;
                if (kept != i) {
                    codes[kept] = codes[i];
                    vectors[kept] = vectors[i];
                    for (std::size_t p = 0; p < plain.size(); ++p)
                        scores[p * kBlockSlots + kept] = scores[p * kBlockSlots + i];
                }
                ++kept;
            }
            m = kept;
            for (std::size_t p = 0; p < plain.size(); ++p) best[plain[p]].offer_all(scores.data() + p * kBlockSlots, codes, m);
            for (const std::size_t j : alone) {
                const std::vector<FilterCondition>* filter = queries[j]->filter;
                std::size_t n = 0;
                for (std::size_t i = 0; i < m; ++i)
                    if (!filter || matches_filter(*filter, mirror.slot_form(codes[i]))) {
                        picked_codes[n] = codes[i];
                        picked[n++] = vectors[i];
                    }
                const float* q = trimmed[j].data();
                kernels.grid(&q, 1, trimmed[j].size(), picked, n, scores.data(), kBlockSlots);
                best[j].offer_all(scores.data(), picked_codes, n);
            }
        }
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
                 std::span<MirrorQuery* const> queries, SharedPass<MirrorQuery>* crew) {
    if (queries.empty()) return;
    const std::size_t dims = queries[0]->query.size();
    const std::uint64_t n = std::min<std::uint64_t>(mirror.slots().size(), store.slot_count());
    const std::uint64_t floats = n * dims;
    Pass pass{mirror, queries, {}, distance_kernels(metric), store, now, {}, {}, {}, 0};
    // A kernel runs over the shorter of its two vectors; cutting the query to
    // the stored length lets the grid kernel, which reads the query's length
    // of each vector, give the same scores.
    pass.length = std::min<std::size_t>(dims, store.dimensions());
    for (std::size_t j = 0; j < queries.size(); ++j) {
        const std::span<const float> q = queries[j]->query;
        pass.trimmed.push_back(q.first(std::min<std::size_t>(q.size(), store.dimensions())));
        if (queries[j]->filter || pass.trimmed.back().size() != pass.length) {
            pass.alone.push_back(j);
        } else {
            pass.plain.push_back(j);
            pass.plain_data.push_back(pass.trimmed.back().data());
        }
    }
    const Ranking rank(mirror, higher_is_better(metric));

    struct Running {
        std::uint64_t others = passes_running.fetch_add(1);
        ~Running() { passes_running.fetch_sub(1); }
    } running;
    WorkerPool& pool = WorkerPool::global();
    std::uint64_t chunk = n;
    std::uint64_t threads = 1;
    const std::uint64_t share = std::max<std::uint64_t>(1, pool.threads() / (running.others + 1));
    // The callers waiting on the pass are threads with nothing else to do:
    // they come on top of the pool's share.
    const std::uint64_t callers = crew ? queries.size() : 1;
    if (queries.size() == 1) {
        threads = std::clamp<std::uint64_t>(floats / kLoneThreadFloats, 1, share);
        if (threads > 1) {
            const std::uint64_t slots = n / (threads * kLoneChunksPerThread) / kBlockSlots * kBlockSlots;
            chunk = std::max<std::uint64_t>(kBlockSlots, slots);
        }
    } else if (floats * queries.size() >= kPoolMinFloats) {
        const std::uint64_t per_slot = std::max<std::uint64_t>(1, dims * queries.size());
        chunk = std::max<std::uint64_t>(kBlockSlots, kChunkFloats / per_slot / kBlockSlots * kBlockSlots);
        const std::uint64_t chunks = (n + chunk - 1) / chunk;
        threads = std::clamp<std::uint64_t>(chunks, 1, std::max(share, callers));
    }
    const std::uint64_t pooled = threads > callers ? threads - callers : 0;  // threads asked of the pool

    // The threads of the pass (the caller, the callers waiting on it, pool
    // threads where those are too few) take chunks in turn until none is
    // left, so one that starts late (a pool thread still waking, or waiting
    // for a core on a busy machine) takes fewer rather than holding the rest
    // up; one that comes when every collector is taken leaves at once.
    // Each keeps its own best, parts[thread * queries + j] for query j: the
    // ranking is a total order, so whichever thread scored a slot, the
    // merge below ends with the same hits.
    std::vector<Best> parts;
    parts.reserve(threads * queries.size());
    for (std::uint64_t t = 0; t < threads; ++t)
        for (const MirrorQuery* q : queries) parts.emplace_back(rank, q->k);
    std::atomic<std::uint64_t> next_chunk{0};
    std::atomic<std::uint64_t> joined{0};
    auto take_chunks = [&] {
        const std::uint64_t me = joined.fetch_add(1);
        if (me >= threads) return;
        const std::span<Best> best = std::span<Best>(parts).subspan(me * queries.size(), queries.size());
        for (;;) {
            const std::uint64_t from = next_chunk.fetch_add(1) * chunk;
            if (from >= n) return;
            pass.slots(from, std::min(n, from + chunk), best);
        }
    };
    if (threads > 1) {
        const std::function<void()> work = take_chunks;
        struct Shared {
            SharedPass<MirrorQuery>* crew;
            ~Shared() {
                if (crew) crew->unshare();
            }
        } shared{crew};
        if (crew) crew->share(work);
        tbb::task_group group;
        for (std::uint64_t t = 0; t < pooled; ++t) pool.enqueue(group, take_chunks);
        take_chunks();
        pool.wait(group);
    } else {
        take_chunks();
    }

    for (std::size_t j = 0; j < queries.size(); ++j) {
        pass.extras(j, parts[j]);
        std::vector<Kept> all = std::move(parts[j].kept());
        for (std::uint64_t t = 1; t < threads; ++t) {
            const std::vector<Kept>& more = parts[t * queries.size() + j].kept();
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
