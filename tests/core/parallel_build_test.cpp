#include "search/hnsw/parallel_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <queue>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/worker_pool.h"
#include "search/distance.h"
#include "search/hnsw/build_report.h"
#include "search/hnsw/level.h"
#include "storage/vectors.h"
#include "hnsw_test_support.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;
using testing::expect_same_graph;

HnswConfig config_of(std::uint64_t m, std::uint64_t m0, std::uint64_t ef, double level_multiplier) {
    return HnswConfig{m, m0, 3 * m, ef, 40, level_multiplier, 0xABCD};
}

std::vector<float> random_vectors(std::uint64_t n, std::uint64_t d, std::uint32_t seed, bool unit = false) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(n * d);
    for (float& x : v) x = normal(rng);
    if (unit) {
        for (std::uint64_t i = 0; i < n; ++i) {
            float norm = 0.0f;
            for (std::uint64_t t = 0; t < d; ++t) norm += v[i * d + t] * v[i * d + t];
            norm = std::sqrt(norm);
            for (std::uint64_t t = 0; t < d; ++t) v[i * d + t] /= norm;
        }
    }
    return v;
}

// What every graph built in one pass from n >= 1 entries must satisfy.
void expect_well_formed(const HnswGraph& g) {
    const std::size_t n = g.nodes.size();
    ASSERT_GT(n, 0u);
    ASSERT_EQ(g.layers.size(), static_cast<std::size_t>(g.max_level) + 1);
    std::uint8_t top = 0;
    for (const HnswNode& node : g.nodes) top = std::max(top, node.level);
    EXPECT_EQ(g.max_level, top);
    ASSERT_TRUE(g.entry_point.has_value());
    EXPECT_EQ(g.nodes[*g.entry_point].level, top);
    for (std::uint32_t i = 0; i < *g.entry_point; ++i) EXPECT_LT(g.nodes[i].level, top) << i;
    for (std::size_t l = 0; l < g.layers.size(); ++l) {
        ASSERT_EQ(g.layers[l].size(), n);
        for (std::uint32_t i = 0; i < n; ++i) {
            const NeighbourList& list = g.layers[l][i];
            if (g.nodes[i].level < l) {
                EXPECT_TRUE(list.empty()) << l << " " << i;
            }
            for (const std::uint32_t j : list) {
                ASSERT_LT(j, n);
                EXPECT_NE(j, i);
                EXPECT_GE(g.nodes[j].level, l);
            }
            EXPECT_EQ(std::set<std::uint32_t>(list.begin(), list.end()).size(), list.size()) << "duplicate link";
        }
    }
}

std::size_t link_count(const HnswGraph& g) {
    std::size_t links = 0;
    for (const auto& layer : g.layers) {
        for (const auto& list : layer) links += list.size();
    }
    return links;
}

class ParallelBuildTest : public ::testing::Test {
protected:
    // A store of d dimensions holding the vectors, one slot each, and the
    // entries for them in slot order.
    void fill(std::uint64_t d, const std::vector<float>& vectors) {
        auto created = create_vector_store(dir / "vectors.bin", d);
        ASSERT_TRUE(created) << created.error().message();
        store.emplace(std::move(*created));
        entries.clear();
        for (std::uint64_t i = 0; i < vectors.size() / d; ++i) {
            auto slot = store->append_slot();
            ASSERT_TRUE(slot);
            ASSERT_TRUE(store->write_slot(*slot, std::span<const float>(vectors.data() + i * d, d)));
            entries.push_back({*slot, "id-" + std::to_string(i)});
        }
    }

    HnswGraph build(const HnswConfig& config, Metric metric, WorkerPool& pool) {
        return build_graph_parallel(config, metric, entries, *store, pool);
    }

    TempDir dir;
    std::optional<VectorStore> store;
    std::vector<LiveEntry> entries;
};

TEST_F(ParallelBuildTest, NoEntriesGiveTheEmptyGraphAndNoReport) {
    fill(4, {});
    const HnswConfig config = config_of(4, 8, 16, 1.0);
    ::testing::internal::CaptureStderr();
    const HnswGraph g = build_graph_parallel(config, Metric::L2, entries, *store);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(g.nodes.empty());
    EXPECT_TRUE(g.layers.empty());
    EXPECT_FALSE(g.entry_point.has_value());
    EXPECT_EQ(g.max_level, 0);
    EXPECT_TRUE(g.slot_to_node.empty());
    EXPECT_TRUE(same_hnsw_config(g.config, config));
}

TEST_F(ParallelBuildTest, OneEntryIsTheEntryPointWithoutLinks) {
    fill(4, random_vectors(87, 4, 1));
    entries = {entries[86]};  // slot 86 draws level 6 at multiplier 1
    WorkerPool pool(2);
    ::testing::internal::CaptureStderr();
    const HnswGraph g = build(config_of(4, 8, 16, 1.0), Metric::L2, pool);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(g.nodes.size(), 1u);
    EXPECT_EQ(g.nodes[0], (HnswNode{"id-86", 86, 6}));
    EXPECT_EQ(g.entry_point, 0u);
    EXPECT_EQ(g.max_level, 6);
    EXPECT_EQ(g.slot_to_node, (std::unordered_map<std::uint64_t, std::uint32_t>{{86, 0}}));
    EXPECT_EQ(link_count(g), 0u);
    expect_well_formed(g);
}

TEST_F(ParallelBuildTest, TwoLevelZeroNodesLinkEachOtherWhicheverGoesFirst) {
    fill(3, {1.0f, 2.0f, 3.0f, -1.0f, 0.5f, 2.0f});
    for (const std::size_t threads : {1u, 8u}) {
        WorkerPool pool(threads);
        for (int run = 0; run < 5; ++run) {
            const HnswGraph g = build(config_of(4, 4, 8, 0.0), Metric::Dot, pool);
            ASSERT_EQ(g.layers.size(), 1u);
            EXPECT_EQ(g.entry_point, 0u);
            EXPECT_EQ(g.layers[0][0], (NeighbourList{1}));
            EXPECT_EQ(g.layers[0][1], (NeighbourList{0}));
        }
    }
}

TEST_F(ParallelBuildTest, LevelsEntryPointAndLayersFollowTheDraws) {
    const std::uint64_t n = 400;
    fill(4, random_vectors(n, 4, 2));
    std::reverse(entries.begin(), entries.end());  // node i stands for slot 399 - i
    WorkerPool pool(8);
    const HnswGraph g = build(config_of(4, 8, 16, 1.0), Metric::L2, pool);
    ASSERT_EQ(g.nodes.size(), n);
    for (std::uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(g.nodes[i].slot, n - 1 - i);
        EXPECT_EQ(g.nodes[i].id, "id-" + std::to_string(n - 1 - i));
        EXPECT_EQ(g.nodes[i].level, draw_level(n - 1 - i, 1.0));
        EXPECT_EQ(g.slot_to_node.at(n - 1 - i), i);
    }
    EXPECT_GE(g.max_level, 3);
    expect_well_formed(g);
    EXPECT_GT(link_count(g), n);
}

TEST_F(ParallelBuildTest, RepeatedAndUnallocatedSlots) {
    fill(2, {1.0f, 1.0f, 2.0f, 2.0f, 3.0f, 3.0f});
    entries = {{0, "a"}, {1, "b"}, {2, "c"}, {1, "d"}, {5000, "e"}};
    WorkerPool pool(4);
    const NodeVectors rows = node_vectors({{"a", 2, 0}, {"b", 5000, 0}, {"c", 0, 0}, {"d", 3, 0}}, *store, pool);
    std::vector<float> gathered;
    for (const float* row : rows.rows) gathered.insert(gathered.end(), row, row + 2);
    EXPECT_EQ(gathered, (std::vector<float>{3, 3, 0, 0, 1, 1, 0, 0}));  // slot 3 is past the allocated ones too

    const HnswGraph g = build(config_of(2, 4, 8, 1.0), Metric::L2, pool);
    ASSERT_EQ(g.nodes.size(), 5u);
    EXPECT_EQ(g.slot_to_node.size(), 4u);
    EXPECT_EQ(g.slot_to_node.at(1), 3u);  // the later node of a repeated slot
    EXPECT_EQ(g.slot_to_node.at(5000), 4u);
    EXPECT_EQ(g.nodes[4].id, "e");
    expect_well_formed(g);
}

TEST_F(ParallelBuildTest, EfZeroLinksNothingAndEfOneStillLinks) {
    fill(4, random_vectors(300, 4, 3));
    WorkerPool pool(4);
    const HnswGraph none = build(config_of(4, 8, 0, 1.0), Metric::Cosine, pool);
    expect_well_formed(none);
    EXPECT_EQ(link_count(none), 0u);

    const HnswGraph one = build(config_of(4, 8, 1, 1.0), Metric::Cosine, pool);
    expect_well_formed(one);
    EXPECT_GT(link_count(one), 0u);
}

TEST_F(ParallelBuildTest, NonFiniteVectorsBuildAWellFormedGraph) {
    const std::uint64_t n = 300, d = 8;
    std::vector<float> vectors = random_vectors(n, d, 9);
    for (std::uint64_t i = 0; i < n; i += 10) std::fill_n(vectors.begin() + i * d, d, std::nanf(""));
    vectors[5 * d + 3] = std::numeric_limits<float>::infinity();
    fill(d, vectors);
    for (const Metric metric : {Metric::L2, Metric::Dot}) {
        WorkerPool pool(4);
        const HnswGraph g = build(config_of(4, 8, 16, 1.0 / std::log(4.0)), metric, pool);
        expect_well_formed(g);
        EXPECT_GT(link_count(g), n);
    }
}

TEST(InsertBatchesTest, FiveThousandNodesABatch) {
    using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    EXPECT_EQ(insert_batches(0), Ranges{});
    EXPECT_EQ(insert_batches(1), (Ranges{{0, 1}}));
    EXPECT_EQ(insert_batches(10000), (Ranges{{0, 5000}, {5000, 10000}}));
    EXPECT_EQ(insert_batches(10001), (Ranges{{0, 5000}, {5000, 10000}, {10000, 10001}}));
}

TEST_F(ParallelBuildTest, LastBatchNodeKeepsItsOwnChoiceWhileBackLinksGrowOthers) {
    // 2 x 5000 + 1 nodes: node 10000 runs alone in the third batch, after
    // every other insertion, so its layer-0 list is exactly its own choice of
    // at most m0 = 2; earlier lists grow past 2 through back-links.
    const std::uint64_t n = 2 * kBuildBatchSize + 1;
    fill(2, random_vectors(n, 2, 4));
    WorkerPool pool(8);
    ::testing::internal::CaptureStderr();
    const HnswGraph g = build(config_of(2, 2, 8, 1.0 / std::log(2.0)), Metric::L2, pool);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(report.rfind("HNSW Build Profile (10001 nodes):\n", 0), 0u) << report;
    expect_well_formed(g);
    if (*g.entry_point != n - 1) {
        EXPECT_GE(g.layers[0][n - 1].size(), 1u);
        EXPECT_LE(g.layers[0][n - 1].size(), 2u);
    }
    std::size_t longest = 0;
    for (const auto& list : g.layers[0]) longest = std::max(longest, list.size());
    EXPECT_GT(longest, 2u);
}

// Every node can be reached from the entry point on layer 0: a node's own
// choice keeps the links that nodes inserted before it made back to it, so a
// node is never left without a way in.
TEST_F(ParallelBuildTest, EveryNodeIsReachableFromTheEntryPoint) {
    std::vector<float> line;
    for (int i = 0; i < 300; ++i) line.insert(line.end(), {float(i), float(i % 7), float(i % 3), 1});
    fill(4, line);
    WorkerPool pool(8);
    for (int round = 0; round < 20; ++round) {
        const HnswGraph g = build(config_of(8, 16, 50, 0.5), Metric::L2, pool);
        std::vector<char> seen(g.nodes.size());
        std::vector<std::uint32_t> todo{*g.entry_point};
        seen[*g.entry_point] = 1;
        std::size_t reached = 1;
        while (!todo.empty()) {
            const std::uint32_t c = todo.back();
            todo.pop_back();
            for (std::uint32_t x : g.layers[0][c])
                if (!seen[x]) {
                    seen[x] = 1;
                    ++reached;
                    todo.push_back(x);
                }
        }
        ASSERT_EQ(reached, g.nodes.size()) << "round " << round;
    }
}

TEST_F(ParallelBuildTest, ReportFrom1000NodesOn) {
    fill(2, random_vectors(1000, 2, 5));
    WorkerPool pool(4);
    const std::vector<LiveEntry> all = entries;

    entries.resize(999);
    ::testing::internal::CaptureStderr();
    build(config_of(4, 4, 4, 0.0), Metric::L2, pool);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    entries = all;
    ::testing::internal::CaptureStderr();
    build(config_of(4, 4, 4, 0.0), Metric::L2, pool);
    const std::string report = ::testing::internal::GetCapturedStderr();
    const std::regex shape(
        "HNSW Build Profile \\(1000 nodes\\):\n"
        "  Phase 1 \\(setup\\):   [ 0-9]{4}\\d\\.\\d\\ds \\([ 0-9]{2}\\d\\.\\d%\\)\n"
        "  Phase 2 \\(insert\\):  [ 0-9]{4}\\d\\.\\d\\ds \\([ 0-9]{2}\\d\\.\\d%\\)\n"
        "  Phase 3 \\(repair\\):  [ 0-9]{4}\\d\\.\\d\\ds \\([ 0-9]{2}\\d\\.\\d%\\)\n"
        "  Total:             [ 0-9]{4}\\d\\.\\d\\ds \\(\\d+ vec/s\\)\n"
        "  Distance calcs:    [1-9]\\d*\n"
        "  Nodes improved:    0\n");
    EXPECT_TRUE(std::regex_match(report, shape)) << report;
}

TEST(BuildReportTest, FixedPointFieldsAndRate) {
    BuildProfile p;
    p.nodes = 1000;
    p.setup_seconds = 1.234;
    p.insert_seconds = 8.5;
    p.repair_seconds = 0.0000004;
    p.total_seconds = 9.872;
    p.distance_calcs = 123456789;
    EXPECT_EQ(format_build_report(p),
              "HNSW Build Profile (1000 nodes):\n"
              "  Phase 1 (setup):       1.23s ( 12.5%)\n"
              "  Phase 2 (insert):      8.50s ( 86.1%)\n"
              "  Phase 3 (repair):      0.00s (  0.0%)\n"
              "  Total:                 9.87s (101 vec/s)\n"
              "  Distance calcs:    123456789\n"
              "  Nodes improved:    0\n");

    p.setup_seconds = 0.5;
    p.insert_seconds = 1.999;
    p.repair_seconds = 0.0;
    p.total_seconds = 2.5;
    p.distance_calcs = 0;
    const std::string report = format_build_report(p);
    EXPECT_NE(report.find("  Phase 1 (setup):       0.50s ( 20.0%)\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  Phase 2 (insert):      2.00s ( 80.0%)\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  Total:                 2.50s (400 vec/s)\n"), std::string::npos) << report;
    // Wide values push the columns right instead of being cut.
    p.setup_seconds = 123456.789;
    p.total_seconds = 123456.789;
    EXPECT_NE(format_build_report(p).find("  Phase 1 (setup):   123456.79s (100.0%)\n"), std::string::npos);
}

TEST_F(ParallelBuildTest, OneThreadGivesTheSameGraphEveryRun) {
    fill(8, random_vectors(700, 8, 6));
    const HnswConfig config = config_of(6, 12, 24, 1.0 / std::log(6.0));
    WorkerPool one(1);
    const HnswGraph first = build(config, Metric::L2, one);
    expect_well_formed(first);
    expect_same_graph(first, build(config, Metric::L2, one));

    // With more threads the links may differ, nothing else.
    WorkerPool eight(8);
    const HnswGraph wide = build(config, Metric::L2, eight);
    expect_well_formed(wide);
    EXPECT_EQ(wide.nodes, first.nodes);
    EXPECT_EQ(wide.entry_point, first.entry_point);
    EXPECT_EQ(wide.max_level, first.max_level);
    EXPECT_EQ(wide.slot_to_node, first.slot_to_node);
}

// Best-first search over layer 0 from the entry point with exact scores: the
// node it settles on for the query.
std::uint32_t beam_top1(const HnswGraph& g, const std::vector<float>& vectors, std::uint64_t d, Metric metric,
                        std::span<const float> query, std::size_t ef) {
    // Lower key is better whatever the metric.
    const auto key = [&](std::uint32_t u) {
        const float s = distance(metric, query, std::span<const float>(vectors.data() + u * d, d));
        return higher_is_better(metric) ? -s : s;
    };
    using Item = std::pair<float, std::uint32_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<>> frontier;
    std::priority_queue<Item> best;  // worst on top
    std::vector<bool> seen(g.nodes.size());
    const std::uint32_t start = *g.entry_point;
    seen[start] = true;
    frontier.push({key(start), start});
    best.push({key(start), start});
    while (!frontier.empty()) {
        const auto [k, u] = frontier.top();
        frontier.pop();
        if (best.size() >= ef && k > best.top().first) break;
        for (const std::uint32_t x : g.layers[0][u]) {
            if (seen[x]) continue;
            seen[x] = true;
            const float kx = key(x);
            if (best.size() < ef || kx < best.top().first) {
                frontier.push({kx, x});
                best.push({kx, x});
                if (best.size() > ef) best.pop();
            }
        }
    }
    Item top = best.top();
    while (!best.empty()) {
        top = best.top();
        best.pop();
    }
    return top.second;
}

TEST_F(ParallelBuildTest, GraphFindsMostExactNearestNeighbours) {
    const std::uint64_t n = 2000, d = 8;
    for (const Metric metric : {Metric::L2, Metric::Cosine}) {
        SCOPED_TRACE(static_cast<int>(metric));
        const std::vector<float> vectors = random_vectors(n, d, 7, metric == Metric::Cosine);
        fill(d, vectors);
        WorkerPool pool(8);
        ::testing::internal::CaptureStderr();
        const HnswGraph g = build(config_of(8, 16, 48, 1.0 / std::log(8.0)), metric, pool);
        ::testing::internal::GetCapturedStderr();

        const std::vector<float> queries = random_vectors(100, d, 8, metric == Metric::Cosine);
        int found = 0;
        for (std::uint64_t q = 0; q < 100; ++q) {
            const std::span<const float> query(queries.data() + q * d, d);
            std::uint32_t exact = 0;
            float exact_score = 0.0f;
            for (std::uint32_t u = 0; u < n; ++u) {
                const float s = distance(metric, query, std::span<const float>(vectors.data() + u * d, d));
                const bool better = higher_is_better(metric) ? s > exact_score : s < exact_score;
                if (u == 0 || better) {
                    exact = u;
                    exact_score = s;
                }
            }
            found += beam_top1(g, vectors, d, metric, query, 16) == exact;
        }
        EXPECT_GE(found, 90);
    }
}

}  // namespace
}  // namespace tessello
