// distance() per kernel family and dimension, on two vectors that stay in the
// first-level cache. Bytes processed count both input vectors, so the rate is
// the vector data scored per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base/cpu_features.h"
#include "search/distance.h"

namespace tessello {
namespace {

std::vector<float> random_vector(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = value(rng);
    return v;
}

// Scores with the kept feature word forced to `features` for the run.
void bench_distance(benchmark::State& state, std::uint32_t features, Metric metric) {
    const bool wide = (features & (kCpuAvx2 | kCpuFma)) == (kCpuAvx2 | kCpuFma);
    if (wide && !((detect_cpu_features() & (kCpuAvx2 | kCpuFma)) == (kCpuAvx2 | kCpuFma))) {
        state.SkipWithError("no AVX2+FMA on this processor");
        return;
    }
    const std::size_t d = static_cast<std::size_t>(state.range(0));
    const std::vector<float> a = random_vector(d, 1);
    const std::vector<float> b = random_vector(d, 2);
    const std::uint32_t saved = exchange_cpu_features_for_testing(features);
    for (auto _ : state) {
        float score = distance(metric, a, b);
        benchmark::DoNotOptimize(score);
    }
    exchange_cpu_features_for_testing(saved);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(2 * d * sizeof(float)));
}

constexpr std::uint32_t kPortable = 0;
constexpr std::uint32_t kWide = kCpuAvx2 | kCpuFma;

void BM_DotPortable(benchmark::State& s) { bench_distance(s, kPortable, Metric::Dot); }
void BM_DotAvx2(benchmark::State& s) { bench_distance(s, kWide, Metric::Dot); }
void BM_L2Portable(benchmark::State& s) { bench_distance(s, kPortable, Metric::L2); }
void BM_L2Avx2(benchmark::State& s) { bench_distance(s, kWide, Metric::L2); }

#define TESSELLO_DIMS Arg(128)->Arg(384)->Arg(768)->Arg(1536)
BENCHMARK(BM_DotPortable)->TESSELLO_DIMS;
BENCHMARK(BM_DotAvx2)->TESSELLO_DIMS;
BENCHMARK(BM_L2Portable)->TESSELLO_DIMS;
BENCHMARK(BM_L2Avx2)->TESSELLO_DIMS;
#undef TESSELLO_DIMS

}  // namespace
}  // namespace tessello
