// Adding records through the write-behind buffer, and the exact search of a
// filled collection against the scan of its vectors alone.
//
// BM_Insert: insert_record with generated identifiers, cosine, metadata
// {"i": 1, "tag": "x"}. Every run (each repetition, and each trial run the
// library makes to pick the iteration count) opens a fresh collection in a
// scratch directory, so a run measures a collection growing from empty to the
// run's iteration count; the flush every 100 adds (msync + fsync, then one
// write transaction) is part of the measured cost.
//
// BM_SearchCollection: search_collection, k = 10, over a collection filled
// once per size, without a filter and with {"tag": "a"} (one record in ten).
// BM_ScanAlone: search_candidates over exactly the candidates that search
// selects (every live record, or the tagged tenth, in identifier order) with
// the same collector size, under the same lock: the scoring share of a search.
// BM_SelectCandidates: the other share, the walk of table "records" that
// decodes every record (and parses its metadata for the filter) and lists the
// candidates, without scoring them.
//
// One filled collection lives at a time (each size's group runs together).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "collection/collection.h"
#include "collection/insert.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "json/json_value.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/filter/matches_filter.h"
#include "search/filter/parse_where.h"
#include "storage/records_table.h"

namespace tessello {
namespace {

constexpr Metric kCosine = Metric::Cosine;
constexpr std::uint64_t kK = 10;

CollectionHandle open_fresh(const bench::TempDir& dir, std::uint64_t d) {
    CollectionConfig config;
    config.name = "bench";
    config.dimensions = d;
    config.metric = Metric::Cosine;
    config.created_at = now_unix_secs();
    return bench::value_or_die(open_collection(dir.path() / "bench", std::move(config)), "open_collection");
}

JsonValue small_metadata(std::uint64_t i, std::string tag) {
    return JsonValue::object(JsonObject::from_members(
        {{"i", JsonValue::unsigned_int(i)}, {"tag", JsonValue::string(std::move(tag))}}));
}

// ---- adding -----------------------------------------------------------------

void BM_Insert(benchmark::State& state) {
    const auto d = static_cast<std::uint64_t>(state.range(0));
    bench::TempDir dir;
    CollectionHandle core = open_fresh(dir, d);
    // A pool of vectors to cycle through, so generating them costs nothing here.
    constexpr std::uint64_t kPool = 1024;
    std::vector<float> pool(kPool * d);
    bench::FastRandom rng(d);
    for (std::uint64_t i = 0; i < kPool; ++i) bench::random_unit_vector(rng, {pool.data() + i * d, d});
    const JsonValue metadata = small_metadata(1, "x");

    std::uint64_t added = 0;
    for (auto _ : state) {
        const std::span<const float> v(pool.data() + (added % kPool) * d, d);
        auto id = insert_record(*core, v, metadata, std::nullopt, std::nullopt);
        if (!id) {
            state.SkipWithError(id.error().message().c_str());
            break;
        }
        ++added;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(added));
    state.counters["records"] = static_cast<double>(added);
    // The release of the collection (the last flush) and the removal of the
    // directory come after the timed loop.
}

BENCHMARK(BM_Insert)->Arg(128)->Arg(768)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- searching --------------------------------------------------------------

// Candidates with their strings owned here, laid out first and viewed after.
struct OwnedCandidates {
    std::string text;
    std::vector<ScanCandidate> list;
};

struct SearchData {
    std::uint64_t n = 0;
    std::uint64_t d = 0;
    bench::TempDir dir;  // declared before the core, so it is removed after the core is closed
    CollectionHandle core;
    std::vector<float> query;     // as a caller passes it
    std::vector<float> prepared;  // as the search scores with it
    std::vector<FilterCondition> tag_filter;
    OwnedCandidates all;
    OwnedCandidates tagged;
    double fill_seconds = 0.0;
};

// One record in ten carries tag "a".
std::string tag_of(std::uint64_t i) { return std::string(1, static_cast<char>('a' + i % 10)); }

void fill_by_insert(Collection& core, std::uint64_t n, std::uint64_t d) {
    bench::FastRandom rng(n * 31 + d);
    std::vector<float> v(d);
    for (std::uint64_t i = 0; i < n; ++i) {
        bench::random_unit_vector(rng, v);
        (void)bench::value_or_die(insert_record(core, v, small_metadata(i, tag_of(i)), std::nullopt, std::nullopt),
                                  "insert_record");
    }
    bench::ok_or_die(sync_collection(core), "sync_collection");
}

// The candidates search_collection would select, in the same (key) order:
// Active, unexpired records that pass the filter when one is given.
OwnedCandidates select_candidates(Collection& core, const std::vector<FilterCondition>* filter) {
    struct Picked {
        std::uint64_t slot;
        std::size_t id_at, id_len, meta_at, meta_len;
    };
    OwnedCandidates out;
    std::vector<Picked> picked;
    bench::ok_or_die(core.read_stored([&](const ReadTxn& txn, const VectorStore&) -> Status {
                         auto cursor = bench::value_or_die(txn.scan(kRecordsTable), "scan");
                         for (;;) {
                             auto entry = bench::value_or_die(cursor.next(), "cursor next");
                             if (!entry) break;
                             const RecordView r =
                                 bench::value_or_die(decode_record_view(entry->value), "decode_record_view");
                             if (!is_record_live(r, now_unix_secs())) continue;
                             if (filter && !matches_filter(*filter, metadata_value(r.metadata))) continue;
                             picked.push_back({r.slot, out.text.size(), r.id.size(), out.text.size() + r.id.size(),
                                               r.metadata.size()});
                             out.text.append(r.id);
                             out.text.append(r.metadata);
                         }
                         return {};
                     }),
                     "read_stored");
    const std::string_view text(out.text);
    out.list.reserve(picked.size());
    for (const Picked& p : picked) {
        RecordView r;
        r.id = text.substr(p.id_at, p.id_len);
        r.slot = p.slot;
        r.metadata = text.substr(p.meta_at, p.meta_len);
        out.list.push_back(ScanCandidate{p.slot, r});
    }
    return out;
}

std::unique_ptr<SearchData> build_search_data(std::uint64_t n, std::uint64_t d) {
    auto data = std::make_unique<SearchData>();
    data->n = n;
    data->d = d;
    data->core = open_fresh(data->dir, d);
    const auto start = std::chrono::steady_clock::now();
    fill_by_insert(*data->core, n, d);
    data->fill_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "filled %llu x %llu by insert_record + sync_collection in %.1f s\n",
                 static_cast<unsigned long long>(n), static_cast<unsigned long long>(d), data->fill_seconds);

    data->query = bench::random_unit_vector(d, 99);
    data->prepared = normalize(kCosine, data->query);
    // {"tag": "a"}: one equality condition.
    data->tag_filter = parse_where(
        JsonValue::object(JsonObject::from_members({{"tag", JsonValue::string("a")}})));
    data->all = select_candidates(*data->core, nullptr);
    data->tagged = select_candidates(*data->core, &data->tag_filter);
    if (data->all.list.size() != n) {
        std::fprintf(stderr, "expected %llu live records, found %zu\n", static_cast<unsigned long long>(n),
                     data->all.list.size());
        std::abort();
    }
    return data;
}

SearchData& search_data(std::uint64_t n, std::uint64_t d) {
    static std::unique_ptr<SearchData> current;
    if (!current || current->n != n || current->d != d) {
        current.reset();  // close and remove the old collection before filling the next
        current = build_search_data(n, d);
    }
    return *current;
}

void set_search_counters(benchmark::State& state, const SearchData& data, std::size_t candidates,
                         long faults_before) {
    state.counters["candidates"] = static_cast<double>(candidates);
    state.counters["faults"] = benchmark::Counter(static_cast<double>(bench::minor_faults() - faults_before),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["fill_s"] = data.fill_seconds;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(candidates * data.d * sizeof(float)));
}

// Arguments: records, dimensions, filter (0 none, 1 {"tag": "a"}).
SearchData& data_for(const benchmark::State& state) {
    return search_data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
}

void BM_SearchCollection(benchmark::State& state) {
    SearchData& data = data_for(state);
    const bool filtered = state.range(2) != 0;
    const std::vector<FilterCondition>* filter = filtered ? &data.tag_filter : nullptr;
    const long faults = bench::minor_faults();
    for (auto _ : state) {
        auto hits = search_collection(*data.core, data.query, kK, filter);
        if (!hits || hits->size() != kK) {
            state.SkipWithError("search failed or gave fewer than k hits");
            break;
        }
        benchmark::DoNotOptimize(hits->data());
    }
    set_search_counters(state, data, filtered ? data.tagged.list.size() : data.all.list.size(), faults);
}

void BM_ScanAlone(benchmark::State& state) {
    SearchData& data = data_for(state);
    const bool filtered = state.range(2) != 0;
    const std::vector<ScanCandidate>& candidates = filtered ? data.tagged.list : data.all.list;
    // The collector size the search uses: 10 x k with a non-empty filter.
    const std::uint64_t cap = filtered ? 10 * kK : kK;
    const long faults = bench::minor_faults();
    for (auto _ : state) {
        // The view also begins a read transaction, which costs next to nothing beside the scan.
        bench::ok_or_die(data.core->read_stored([&](const ReadTxn&, const VectorStore& vectors) -> Status {
                             auto hits = search_candidates(candidates, data.prepared, kCosine, vectors, kK, cap);
                             benchmark::DoNotOptimize(hits.data());
                             return {};
                         }),
                         "read_stored");
    }
    set_search_counters(state, data, candidates.size(), faults);
}

void BM_SelectCandidates(benchmark::State& state) {
    SearchData& data = data_for(state);
    const bool filtered = state.range(2) != 0;
    const std::vector<FilterCondition>* filter = filtered ? &data.tag_filter : nullptr;
    std::size_t selected = 0;
    const long faults = bench::minor_faults();
    for (auto _ : state) {
        // The selection loop of the exact search, up to the scan.
        bench::ok_or_die(data.core->read_stored([&](const ReadTxn& txn, const VectorStore&) -> Status {
                             auto cursor = bench::value_or_die(txn.scan(kRecordsTable), "scan");
                             std::vector<ScanCandidate> candidates;
                             for (;;) {
                                 auto entry = bench::value_or_die(cursor.next(), "cursor next");
                                 if (!entry) break;
                                 auto record =
                                     bench::value_or_die(decode_record_view(entry->value), "decode_record_view");
                                 if (!is_record_live(record, now_unix_secs())) continue;
                                 if (filter && !matches_filter(*filter, metadata_value(record.metadata))) continue;
                                 candidates.push_back(ScanCandidate{record.slot, record});
                             }
                             selected = candidates.size();
                             benchmark::DoNotOptimize(candidates.data());
                             return {};
                         }),
                         "read_stored");
    }
    state.counters["candidates"] = static_cast<double>(selected);
    state.counters["faults"] = benchmark::Counter(static_cast<double>(bench::minor_faults() - faults),
                                                  benchmark::Counter::kAvgIterations);
}

// Each size's group together, so its collection is filled once.
#define TESSELLO_SEARCH_SIZE(n, d)                                                                   \
    BENCHMARK(BM_SearchCollection)->Args({n, d, 0})->Args({n, d, 1})->MinTime(1.0)->UseRealTime() \
        ->Unit(benchmark::kMillisecond);                                                              \
    BENCHMARK(BM_ScanAlone)->Args({n, d, 0})->Args({n, d, 1})->MinTime(1.0)->UseRealTime()        \
        ->Unit(benchmark::kMillisecond);                                                              \
    BENCHMARK(BM_SelectCandidates)->Args({n, d, 0})->Args({n, d, 1})->MinTime(1.0)->UseRealTime() \
        ->Unit(benchmark::kMillisecond)

TESSELLO_SEARCH_SIZE(100'000, 768);
TESSELLO_SEARCH_SIZE(1'000'000, 128);
#undef TESSELLO_SEARCH_SIZE

}  // namespace
}  // namespace tessello
