// The graph index: a full parallel build, and searches through the graph
// next to the exact scan of the same stored vectors, with the recall@10 of
// the graph's answers against the exact ones.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <set>
#include <shared_mutex>

#include "bench_support.h"
#include "collection/collection.h"
#include "collection/index_maintenance.h"
#include "collection/insert.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "search/hnsw/graph_search.h"
#include "search/hnsw/parallel_build.h"

namespace tessello {
namespace {

constexpr std::uint64_t kK = 10;

struct GraphData {
    std::uint64_t n = 0;
    std::uint64_t d = 0;
    bench::TempDir dir;
    CollectionHandle graph;  // with HNSW parameters
    CollectionHandle exact;  // the same records, searched by scan
    std::vector<std::vector<float>> queries;
    std::unique_ptr<HnswIndex> index;  // a graph of the same records, walked on its own
};

void fill(Collection& c, std::uint64_t n, std::uint64_t d) {
    bench::FastRandom rng(n * 7 + d);
    std::vector<float> v(d);
    for (std::uint64_t i = 0; i < n; ++i) {
        bench::random_unit_vector(rng, v);
        (void)bench::value_or_die(insert_record(c, v, JsonValue::object({}), "r" + std::to_string(i), std::nullopt),
                                  "insert_record");
    }
    bench::ok_or_die(flush_pending(c), "flush_pending");
}

GraphData& data(std::uint64_t n, std::uint64_t d) {
    static std::unique_ptr<GraphData> held;
    if (held && held->n == n && held->d == d) return *held;
    held.reset();
    held = std::make_unique<GraphData>();
    held->n = n;
    held->d = d;
    const HnswConfig config{16, 32, 16, 100, 64, 1.0 / std::log(16.0), 0};
    held->graph = bench::value_or_die(
        open_collection(held->dir.path() / "g", CollectionConfig{"g", d, Metric::Cosine, 0, config}), "open");
    held->exact = bench::value_or_die(
        open_collection(held->dir.path() / "e", CollectionConfig{"e", d, Metric::Cosine, 0, std::nullopt}), "open");
    fill(*held->graph, n, d);
    fill(*held->exact, n, d);
    bench::ok_or_die(ensure_index(*held->graph), "ensure_index");
    for (std::uint64_t q = 0; q < 100; ++q) held->queries.push_back(bench::random_unit_vector(d, 1000 + q));
    auto entries = bench::value_or_die(collect_live_entries(*held->graph), "collect");
    bench::ok_or_die(held->graph->read_stored([&](const ReadTxn&, const VectorStore& vectors) -> Status {
                         held->index = std::make_unique<HnswIndex>(
                             build_graph_parallel(config, Metric::Cosine, entries, vectors), Metric::Cosine);
                         return {};
                     }),
                     "read_stored");
    return *held;
}

void BM_GraphBuild(benchmark::State& state) {
    GraphData& g = data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    auto entries = bench::value_or_die(collect_live_entries(*g.graph), "collect");
    for (auto _ : state) {
        bench::ok_or_die(g.graph->read_stored([&](const ReadTxn&, const VectorStore& vectors) -> Status {
                             HnswGraph built =
                                 build_graph_parallel(*g.graph->config.hnsw, Metric::Cosine, entries, vectors);
                             benchmark::DoNotOptimize(built.nodes.data());
                             return {};
                         }),
                         "read_stored");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * g.n));
}

void BM_Search(benchmark::State& state) {
    GraphData& g = data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    Collection& c = state.range(2) ? *g.graph : *g.exact;
    std::size_t q = 0;
    for (auto _ : state) {
        auto hits = search_collection(c, g.queries[q++ % g.queries.size()], kK, nullptr);
        benchmark::DoNotOptimize(hits);
    }
    if (state.range(2)) {
        // recall@10 of the graph against the exact scan
        std::size_t found = 0;
        for (const auto& query : g.queries) {
            auto approx = bench::value_or_die(search_collection(*g.graph, query, kK, nullptr), "search");
            auto truth = bench::value_or_die(search_collection(*g.exact, query, kK, nullptr), "search");
            std::set<std::string> want;
            for (const auto& h : truth) want.insert(h.id);
            for (const auto& h : approx) found += want.count(h.id);
        }
        state.counters["recall@10"] = double(found) / double(kK * g.queries.size());
    }
}

// The graph walk alone: descent and layer-0 walk, with the identifiers of
// the 2k candidates a search asks for, and no record looked up.
void BM_GraphWalk(benchmark::State& state) {
    GraphData& g = data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    std::size_t q = 0;
    bench::ok_or_die(g.graph->read_stored([&](const ReadTxn&, const VectorStore& vectors) -> Status {
                         for (auto _ : state) {
                             auto found = graph_candidates(*g.index, g.queries[q++ % g.queries.size()], 2 * kK, vectors);
                             benchmark::DoNotOptimize(found.data());
                         }
                         return {};
                     }),
                     "read_stored");
}

BENCHMARK(BM_GraphBuild)->Args({10000, 128})->Args({20000, 768})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Search)
    ->ArgsProduct({{10000}, {128}, {0, 1}})
    ->Args({20000, 768, 0})
    ->Args({20000, 768, 1})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_GraphWalk)->Args({10000, 128})->Args({20000, 768})->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tessello
