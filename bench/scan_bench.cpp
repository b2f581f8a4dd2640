// The exact scan of stored vectors against the memory bandwidth it could use.
//
// BM_SearchCandidates runs search_candidates (k = 10, cosine, no filter) over
// every slot of a vector file; BM_ScanSlotsParallel is its scoring step alone
// (no top-k, no hits), which splits the cost of ranking from that of reading.
// BM_StreamRead sums every float of the same mapping on the same worker pool,
// in blocks of slots: the rate a scan that only reads could reach. All three
// count the vector bytes as processed, so their GB/s compare directly.
//
// The candidates come either in slot order or shuffled; the shuffled order is
// what a collection's search sees, since it walks records by identifier and
// generated identifiers bear no relation to slot numbers.
//
// One data set lives at a time (the benchmarks run in registration order, each
// size's group together); its file is in a scratch directory under /tmp.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bench_support.h"
#include "base/worker_pool.h"
#include "search/exact.h"
#include "storage/record.h"
#include "storage/vectors.h"

namespace tessello {
namespace {

constexpr Metric kCosine = Metric::Cosine;

struct ScanData {
    std::uint64_t n = 0;
    std::uint64_t d = 0;
    bench::TempDir dir;
    std::unique_ptr<VectorStore> store;
    // The candidates' identifiers and metadata texts, which their views point into.
    std::string text;
    std::vector<ScanCandidate> in_slot_order;
    std::vector<ScanCandidate> shuffled;
    std::vector<float> query;
};

std::unique_ptr<ScanData> build_scan_data(std::uint64_t n, std::uint64_t d) {
    auto data = std::make_unique<ScanData>();
    data->n = n;
    data->d = d;
    data->store = std::make_unique<VectorStore>(
        bench::value_or_die(create_vector_store(data->dir.path() / "vectors.bin", d), "create_vector_store"));
    bench::FastRandom rng(n * 131 + d);
    std::vector<float> v(d);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t slot = bench::value_or_die(data->store->append_slot(), "append_slot");
        bench::random_unit_vector(rng, v);
        bench::ok_or_die(data->store->write_slot(slot, v), "write_slot");
    }
    // Written back now, so no write-back of these pages competes with the runs.
    bench::ok_or_die(data->store->sync_vectors(), "sync_vectors");

    // Identifiers "id-<i>" and metadata {"i":<i>,"tag":"x"}, laid out first,
    // then viewed, so that no view outlives a reallocation.
    std::vector<std::size_t> offsets;
    offsets.reserve(2 * n + 1);
    data->text.reserve(n * 40);
    for (std::uint64_t i = 0; i < n; ++i) {
        offsets.push_back(data->text.size());
        data->text += "id-" + std::to_string(i);
        offsets.push_back(data->text.size());
        data->text += "{\"i\":" + std::to_string(i) + ",\"tag\":\"x\"}";
    }
    offsets.push_back(data->text.size());
    const std::string_view all(data->text);
    data->in_slot_order.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        RecordView r;
        r.id = all.substr(offsets[2 * i], offsets[2 * i + 1] - offsets[2 * i]);
        r.slot = i;
        r.metadata = all.substr(offsets[2 * i + 1], offsets[2 * i + 2] - offsets[2 * i + 1]);
        r.created_at = 1;
        data->in_slot_order.push_back(ScanCandidate{i, r});
    }
    data->shuffled = data->in_slot_order;
    for (std::uint64_t i = n; i > 1; --i) std::swap(data->shuffled[i - 1], data->shuffled[rng.next() % i]);
    data->query = bench::random_unit_vector(d, 7);
    return data;
}

ScanData& scan_data(std::uint64_t n, std::uint64_t d) {
    static std::unique_ptr<ScanData> current;
    if (!current || current->n != n || current->d != d) {
        current.reset();  // the old set's memory and file go before the new one is built
        current = build_scan_data(n, d);
    }
    return *current;
}

void set_common_counters(benchmark::State& state, const ScanData& data, long faults_before) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.n * data.d * sizeof(float)));
    state.counters["threads"] = static_cast<double>(WorkerPool::global().threads());
    state.counters["faults"] = benchmark::Counter(static_cast<double>(bench::minor_faults() - faults_before),
                                                  benchmark::Counter::kAvgIterations);
}

// Arguments: slots, dimensions, candidate order (0 slot order, 1 shuffled).
void BM_SearchCandidates(benchmark::State& state) {
    ScanData& data = scan_data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    const auto& candidates = state.range(2) == 0 ? data.in_slot_order : data.shuffled;
    const long faults = bench::minor_faults();
    for (auto _ : state) {
        auto hits = search_candidates(candidates, data.query, kCosine, *data.store, 10, 10);
        benchmark::DoNotOptimize(hits.data());
        if (hits.size() != 10) {
            state.SkipWithError("fewer than 10 hits");
            break;
        }
    }
    set_common_counters(state, data, faults);
}

void BM_ScanSlotsParallel(benchmark::State& state) {
    ScanData& data = scan_data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    const auto& candidates = state.range(2) == 0 ? data.in_slot_order : data.shuffled;
    const long faults = bench::minor_faults();
    for (auto _ : state) {
        auto pairs = scan_slots_parallel(candidates, data.query, kCosine, *data.store);
        benchmark::DoNotOptimize(pairs.data());
    }
    set_common_counters(state, data, faults);
}

// Sixteen independent sums, so the adds keep up with memory rather than
// waiting on one another.
float sum_floats(const float* p, std::size_t count) {
    float acc[16] = {};
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16)
        for (std::size_t j = 0; j < 16; ++j) acc[j] += p[i + j];
    for (; i < count; ++i) acc[0] += p[i];
    return std::accumulate(std::begin(acc), std::end(acc), 0.0f);
}

// Arguments: slots, dimensions.
void BM_StreamRead(benchmark::State& state) {
    ScanData& data = scan_data(static_cast<std::uint64_t>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    const VectorStore& store = *data.store;
    // Blocks of about 256 KiB of slots.
    const std::uint64_t per_block = std::max<std::uint64_t>(1, (256 * 1024) / store.stride());
    const std::uint64_t blocks = (data.n + per_block - 1) / per_block;
    std::vector<float> partial(blocks);
    const long faults = bench::minor_faults();
    for (auto _ : state) {
        WorkerPool::global().parallel_for(blocks, [&](std::uint64_t b) {
            const std::uint64_t first = b * per_block;
            const std::uint64_t count = std::min(per_block, data.n - first);
            partial[b] = sum_floats(store.slot_view(first).data(), count * data.d);
        });
        float total = std::accumulate(partial.begin(), partial.end(), 0.0f);
        benchmark::DoNotOptimize(total);
    }
    set_common_counters(state, data, faults);
}

// Each size's group together, so its data set is built once.
BENCHMARK(BM_StreamRead)->Args({100'000, 768})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchCandidates)->Args({100'000, 768, 0})->Args({100'000, 768, 1})
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSlotsParallel)->Args({100'000, 768, 0})->Args({100'000, 768, 1})
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamRead)->Args({1'000'000, 128})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchCandidates)->Args({1'000'000, 128, 0})->Args({1'000'000, 128, 1})
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSlotsParallel)->Args({1'000'000, 128, 0})->Args({1'000'000, 128, 1})
    ->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessello
