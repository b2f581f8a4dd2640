// The graph a build and an incremental insert make, pinned by the bytes of
// its saved file: a change that moves a single link, level, entry point or
// byte of "hnsw.index" for the same input fails here. One worker thread
// (a wider build may order its links by timing), each family of distance
// kernels, and a deleted record's NaN vector and an unallocated slot among
// the input.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "base/cpu_features.h"
#include "base/worker_pool.h"
#include "hnsw_test_support.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/parallel_build.h"
#include "search/hnsw/persist.h"

namespace tessello {
namespace {

struct FileCase {
    Metric metric;
    std::uint32_t features;  // the kernel family the scores come from
    std::uint64_t hash;      // of the whole saved file
};

// FNV-1a over the whole file. (Not a CRC: the file ends in the CRC of what
// comes before, and a CRC over both is the same for every file.)
std::uint64_t hash_of_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t h = 14695981039346656037ull;
    for (auto it = std::istreambuf_iterator<char>(in); it != std::istreambuf_iterator<char>(); ++it) {
        h ^= static_cast<unsigned char>(*it);
        h *= 1099511628211ull;
    }
    return h;
}

std::uint64_t build_insert_save(Metric metric, const std::filesystem::path& dir) {
    constexpr std::uint64_t kDims = 12;
    constexpr std::uint32_t kBuilt = 900;
    constexpr std::uint32_t kInserted = 150;
    testing::VectorFile file(kDims);
    std::mt19937 rng(2024);
    std::vector<LiveEntry> entries;
    for (std::uint32_t i = 0; i < kBuilt + kInserted; ++i) {
        std::vector<float> v(kDims);
        // Quarter steps in most places, so that scores tie often, and one
        // inexact component, so that the kernels' orders of sums count.
        for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 9) - 4) * 0.25f;
        if (i % 3 == 0) v[i % kDims] = static_cast<float>(static_cast<int>(rng() % 2001) - 1000) / 999.0f;
        const std::uint64_t slot = file.add(v);
        if (i % 97 == 5) file.mark_deleted(slot);
        entries.push_back({i % 211 == 7 ? 5000 + i : slot, "r" + std::to_string(i)});
    }
    const HnswConfig config{6, 12, 6, 40, 16, 1.0 / std::log(6.0), 0};
    WorkerPool one(1);
    const std::vector<LiveEntry> first(entries.begin(), entries.begin() + kBuilt);
    HnswIndex index(build_graph_parallel(config, metric, first, file.get(), one), metric);
    insert_nodes(index, entries, file.get());
    const auto path = dir / "hnsw.index";
    EXPECT_TRUE(save_index(index.graph, path));
    return hash_of_file(path);
}

TEST(GraphFileBytes, BuildThenInsertGiveTheRecordedFile) {
    const std::uint32_t wide = kCpuAvx2 | kCpuFma;
    const FileCase cases[] = {
        {Metric::L2, 0, 0x094cfd1f110a8863ull},
        {Metric::Cosine, 0, 0x9a806c1082fe2e21ull},
        {Metric::L2, wide, 0x094cfd1f110a8863ull},
        {Metric::Cosine, wide, 0xf36f4911c47e8fabull},
    };
    for (const FileCase& c : cases) {
        if (c.features != 0 && (detect_cpu_features() & wide) != wide) continue;
        const std::uint32_t saved = exchange_cpu_features_for_testing(c.features);
        testing::TempDir dir;
        const std::uint64_t hash = build_insert_save(c.metric, dir.path());
        exchange_cpu_features_for_testing(saved);
        EXPECT_EQ(hash, c.hash) << "metric " << int(c.metric) << " features " << c.features << std::hex << " hash 0x"
                                << hash;
    }
}

}  // namespace
}  // namespace tessello
