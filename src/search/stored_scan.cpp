#include "search/stored_scan.h"

#include <memory>

#include "base/worker_pool.h"
#include "search/exact.h"
#include "search/filter/matches_filter.h"
#include "search/top_k.h"
#include "storage/records_table.h"

namespace tessello {

std::vector<std::string> WalkSplits::get() const {
    std::lock_guard lock(mu_);
    return keys_;
}

void WalkSplits::set(std::vector<std::string> keys) {
    std::lock_guard lock(mu_);
    keys_ = std::move(keys);
}

namespace {

// Records scored together: enough to make a pool task worth its dispatch.
constexpr std::size_t kBatchRecords = 2048;
// Every so many keys one is kept as a possible split point.
constexpr std::uint64_t kSampleEvery = 256;
// Below this many records one thread walks the table.
constexpr std::uint64_t kSplitMinRecords = 8192;
// Runs per pool thread, so that uneven runs still keep every thread busy.
constexpr std::size_t kRunsPerThread = 4;

struct ScanContext {
    std::span<const float> query;
    Metric metric;
    const VectorStore& store;
    const std::vector<FilterCondition>* filter;
    std::uint64_t cap;
};

// The best `cap` candidates of a run of keys, best first.
struct Best {
    explicit Best(const ScanContext& ctx) : top(ctx.cap, higher_is_better(ctx.metric), 1) {}
    TopK top;                             // indices into `pool`
    std::vector<ScanCandidate> pool;      // every candidate ever kept
    std::optional<StoreError> error;      // the first value that did not decode
    // Reused from batch to batch: a fresh block this large would come from
    // new pages every time.
    std::vector<ScanCandidate> candidates;

    // Decodes, tests and scores one batch of values, offering its best to `top`.
    void take(std::span<const Bytes> values, const ScanContext& ctx) {
        if (error) return;
        candidates.clear();
        candidates.reserve(values.size());
        // One reading of the clock decides the expiry of the whole batch.
        const std::uint64_t now = now_unix_secs();
        for (Bytes value : values) {
            auto record = decode_record_view(value);
            if (!record) {
                error = std::move(record.error());
                return;
            }
            if (!is_record_live(*record, now)) continue;
            if (ctx.filter && !matches_filter(*ctx.filter, metadata_value(record->metadata))) continue;
            candidates.push_back(ScanCandidate{record->slot, *record});
        }
        for (const ScoredIndex& e :
             best_candidates_sequential(candidates, ctx.query, ctx.metric, ctx.store, ctx.cap)) {
            topk_push(top, pool.size(), e.score);
            pool.push_back(candidates[e.index]);
        }
    }
};

// One run of the table, [from, to), walked on its own transaction.
struct Run {
    std::string from;
    std::optional<std::string> to;
    std::optional<ReadTxn> txn;
    std::optional<Best> best;
    std::vector<std::string> samples;
    std::uint64_t records = 0;
};

void walk_run(Run& run, const ScanContext& ctx) {
    Best& best = run.best.emplace(ctx);
    auto cursor = run.txn->scan_from(kRecordsTable, run.from);
    if (!cursor) {
        best.error = std::move(cursor.error());
        return;
    }
    std::vector<Bytes> values;
    values.reserve(kBatchRecords);
    for (;;) {
        auto entry = cursor->next();
        if (!entry) {
            best.error = std::move(entry.error());
            return;
        }
        if (!*entry || (run.to && (*entry)->key >= *run.to)) break;
        if (run.records++ % kSampleEvery == 0) run.samples.emplace_back((*entry)->key);
        values.push_back((*entry)->value);
        if (values.size() == kBatchRecords) {
            best.take(values, ctx);
            if (best.error) return;
            values.clear();
        }
    }
    best.take(values, ctx);
}

// Split keys that cut `samples` (in key order) into `runs` runs.
std::vector<std::string> choose_splits(std::vector<std::string> samples, std::uint64_t records, std::size_t runs) {
    std::vector<std::string> keys;
    if (records < kSplitMinRecords || samples.size() < 2 || runs < 2) return keys;
    // The index never falls as i grows, so a sample already moved into keys
    // is recognised by its index, not by what a moved-from string holds.
    std::size_t taken = samples.size();
    for (std::size_t i = 1; i < runs; ++i) {
        const std::size_t at = i * samples.size() / runs;
        if (at == taken) continue;
        taken = at;
        std::string& key = samples[at];
        if (!keys.empty() && key <= keys.back()) continue;
        keys.push_back(std::move(key));
    }
    return keys;
}

// The walk on the calling thread, handing batches to the pool as it reads.
// Results come in batch order, so they join like runs.
Status walk_on_one_thread(const ReadTxn& txn, const ScanContext& ctx, std::vector<std::unique_ptr<Best>>& parts,
                          std::vector<std::string>& samples, std::uint64_t& records) {
    WorkerPool& pool = WorkerPool::global();
    tbb::task_group group;
    std::vector<std::unique_ptr<std::vector<Bytes>>> batches;
    auto dispatch = [&] {
        parts.push_back(std::make_unique<Best>(ctx));
        pool.enqueue(group, [values = batches.back().get(), part = parts.back().get(), &ctx] {
            part->take(*values, ctx);
            std::vector<Bytes>().swap(*values);
        });
    };
    auto cursor = txn.scan(kRecordsTable);
    if (!cursor) return fail(cursor.error());
    batches.push_back(std::make_unique<std::vector<Bytes>>());
    for (;;) {
        auto entry = cursor->next();
        if (!entry) {
            // Every task must be done before the transaction may end.
            pool.wait(group);
            return fail(entry.error());
        }
        if (!*entry) break;
        if (records++ % kSampleEvery == 0) samples.emplace_back((*entry)->key);
        batches.back()->push_back((*entry)->value);
        if (batches.back()->size() == kBatchRecords) {
            dispatch();
            batches.push_back(std::make_unique<std::vector<Bytes>>());
        }
    }
    if (batches.size() == 1) {
        // A table that fits in one batch is handled right here.
        parts.push_back(std::make_unique<Best>(ctx));
        parts.back()->take(*batches.back(), ctx);
    } else if (!batches.back()->empty()) {
        dispatch();
    }
    pool.wait(group);
    return {};
}

}  // namespace

Result<std::vector<SearchHit>> search_stored(KvStore& db, const ReadTxn& txn, std::span<const float> query,
                                             Metric metric, const VectorStore& store,
                                             const std::vector<FilterCondition>* filter, std::uint64_t k,
                                             std::uint64_t cap, WalkSplits& splits) {
    const ScanContext ctx{query, metric, store, filter, cap};
    WorkerPool& pool = WorkerPool::global();

    // Each run needs its own transaction on the caller's snapshot. They are
    // begun and ended here, on the thread that holds `txn`; the pool threads
    // only walk them.
    const std::vector<std::string> keys = splits.get();
    // Transactions of the runs come out of the store's budget, given back
    // once they have ended (the runs go first).
    struct Budget {
        KvStore& db;
        std::size_t n = 0;
        ~Budget() { db.release_extra_readers(n); }
    } budget{db};
    std::vector<Run> runs;
    if (!keys.empty() && db.reserve_extra_readers(keys.size() + 1)) {
        budget.n = keys.size() + 1;
        runs.resize(keys.size() + 1);
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (i > 0) runs[i].from = keys[i - 1];
            if (i < keys.size()) runs[i].to = keys[i];
            auto own = begin_read_txn(db);
            if (!own || own->snapshot_id() != txn.snapshot_id()) {
                runs.clear();
                break;
            }
            runs[i].txn.emplace(std::move(*own));
        }
    }

    std::vector<const Best*> parts;
    std::vector<std::unique_ptr<Best>> owned_parts;
    std::vector<std::string> samples;
    std::uint64_t records = 0;
    if (!runs.empty()) {
        tbb::task_group group;
        for (Run& run : runs) pool.enqueue(group, [&run, &ctx] { walk_run(run, ctx); });
        pool.wait(group);
        for (Run& run : runs) {
            parts.push_back(&*run.best);
            samples.insert(samples.end(), std::make_move_iterator(run.samples.begin()),
                           std::make_move_iterator(run.samples.end()));
            records += run.records;
        }
    } else {
        if (auto st = walk_on_one_thread(txn, ctx, owned_parts, samples, records); !st) return fail(st.error());
        for (const auto& part : owned_parts) parts.push_back(part.get());
    }

    std::size_t kept = 0;
    for (const Best* part : parts) {
        if (part->error) return fail(*part->error);
        kept += part->top.entries().size();
    }
    splits.set(choose_splits(std::move(samples), records, pool.threads() * kRunsPerThread));

    // Parts cover consecutive runs of keys, so offering their best pairs in
    // order gives the collector of the whole candidate list.
    std::vector<const ScanCandidate*> by_index;
    by_index.reserve(kept);
    TopK top(cap, higher_is_better(metric), kept + 1);
    for (const Best* part : parts)
        for (const ScoredIndex& e : part->top.entries()) {
            topk_push(top, by_index.size(), e.score);
            by_index.push_back(&part->pool[e.index]);
        }
    std::vector<SearchHit> hits;
    const std::size_t n = std::min<std::uint64_t>(k, top.entries().size());
    hits.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        hits.push_back(stored_hit(*by_index[top.entries()[i].index], top.entries()[i].score));
    return hits;
}

}  // namespace tessello
