#include "search/hnsw/graph_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "hnsw_test_support.h"

namespace tessello {
namespace {

using testing::VectorFile;

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<std::uint32_t> nodes_of(const std::vector<GraphCandidate>& found) {
    std::vector<std::uint32_t> out;
    for (const auto& c : found) out.push_back(c.node);
    return out;
}

// A vector file and a graph whose node i is named "n<i>".
class GraphSearchTest : public ::testing::Test {
protected:
    static std::string name(std::uint32_t i) { return "n" + std::to_string(i); }

    // Appends a node on a fresh slot holding v.
    std::uint32_t node(HnswGraph& g, std::vector<float> v, std::uint8_t level = 0) {
        const std::uint64_t slot = vectors.add(std::move(v));
        return add_node(g, slot, name(static_cast<std::uint32_t>(g.nodes.size())), level);
    }

    // Points (x, 0) for x = 0 .. n-1, linked as a chain on layer 0.
    HnswGraph chain(std::uint32_t n, HnswConfig config = testing::small_config()) {
        HnswGraph g = empty_graph(config);
        for (std::uint32_t i = 0; i < n; ++i) node(g, {float(i), 0});
        for (std::uint32_t i = 0; i < n; ++i) {
            if (i > 0) g.layers[0][i].push_back(i - 1);
            if (i + 1 < n) g.layers[0][i].push_back(i + 1);
        }
        return g;
    }

    // Points (x, 0) for x = 0 .. n-1, every node linked to every other on layer 0.
    HnswGraph complete(std::uint32_t n, HnswConfig config = testing::small_config()) {
        HnswGraph g = empty_graph(config);
        for (std::uint32_t i = 0; i < n; ++i) node(g, {float(i), 0});
        for (std::uint32_t i = 0; i < n; ++i)
            for (std::uint32_t j = 0; j < n; ++j)
                if (i != j) g.layers[0][i].push_back(j);
        return g;
    }

    VectorFile vectors{2};
};

TEST_F(GraphSearchTest, NodeDistanceScoresInPlaceWorstForUnallocatedNaNForDeleted) {
    HnswGraph g = empty_graph(testing::small_config());
    node(g, {1, 2});
    node(g, {3, 4});
    add_node(g, 99, "unallocated", 0);
    vectors.mark_deleted(1);
    const std::vector<float> q{1, 1};
    EXPECT_EQ(node_distance(g.nodes, q, 0, vectors.get(), Metric::L2), 1.0f);
    EXPECT_EQ(node_distance(g.nodes, q, 0, vectors.get(), Metric::Dot), 3.0f);
    EXPECT_EQ(node_distance(g.nodes, q, 2, vectors.get(), Metric::L2), kInf);
    EXPECT_EQ(node_distance(g.nodes, q, 2, vectors.get(), Metric::Dot), -kInf);
    EXPECT_EQ(node_distance(g.nodes, q, 2, vectors.get(), Metric::Cosine), -kInf);
    EXPECT_TRUE(std::isnan(node_distance(g.nodes, q, 1, vectors.get(), Metric::L2)));
}

TEST_F(GraphSearchTest, GreedyWalksTheWholeListOfThePassStartAndKeepsTheFirstOfEqualBest) {
    HnswGraph g = empty_graph(testing::small_config());
    node(g, {10, 0}, 1);  // 0
    node(g, {5, 0}, 1);   // 1
    node(g, {3, 0}, 1);   // 2
    node(g, {0, 0}, 1);   // 3: best of all, reachable only from 1
    node(g, {9, 1}, 1);   // 4 and 5: equal scores
    node(g, {9, -1}, 1);
    g.layers[1][0] = {1, 2};
    g.layers[1][1] = {3};
    const std::vector<float> origin{0, 0};
    // The pass from 0 ends on 2; the list of 1 is never looked at.
    EXPECT_EQ(greedy_search_layer(g, origin, 0, 1, vectors.get(), Metric::L2), 2u);
    EXPECT_EQ(greedy_search_layer(g, origin, 1, 1, vectors.get(), Metric::L2), 3u);
    // A layer the graph does not have, and a node without neighbours there.
    EXPECT_EQ(greedy_search_layer(g, origin, 0, 2, vectors.get(), Metric::L2), 0u);
    EXPECT_EQ(greedy_search_layer(g, origin, 0, 0, vectors.get(), Metric::L2), 0u);

    g.layers[1][0] = {4, 5};
    EXPECT_EQ(greedy_search_layer(g, origin, 0, 1, vectors.get(), Metric::L2), 4u);
    g.layers[1][0] = {5, 4};
    EXPECT_EQ(greedy_search_layer(g, origin, 0, 1, vectors.get(), Metric::L2), 5u);
}

TEST_F(GraphSearchTest, LayerZeroReturnsTheBestEfWithRawScoresBestFirst) {
    HnswGraph g = chain(8);
    const std::unordered_set<std::uint64_t> none;
    const auto l2 = search_layer0(g, std::vector<float>{5.25f, 0}, 0, 3, none, vectors.get(), Metric::L2);
    EXPECT_EQ(nodes_of(l2), (std::vector<std::uint32_t>{5, 6, 4}));
    EXPECT_FLOAT_EQ(l2[0].score, 0.0625f);

    // Dot with query (1, 0) scores each point by its x: higher is better and
    // the scores come back unnegated.
    const auto dot = search_layer0(g, std::vector<float>{1, 0}, 0, 3, none, vectors.get(), Metric::Dot);
    EXPECT_EQ(dot, (std::vector<GraphCandidate>{{7, 7.0f}, {6, 6.0f}, {5, 5.0f}}));

    EXPECT_TRUE(search_layer0(g, std::vector<float>{1, 0}, 0, 0, none, vectors.get(), Metric::L2).empty());
    // A graph without layers has only its entry to offer.
    HnswGraph bare = empty_graph(testing::small_config());
    bare.nodes = g.nodes;
    EXPECT_EQ(nodes_of(search_layer0(bare, std::vector<float>{5, 0}, 2, 4, none, vectors.get(), Metric::L2)),
              std::vector<std::uint32_t>{2});
}

TEST_F(GraphSearchTest, DeletedNodesAreWalkedThroughButNeverReturned) {
    // The chain 0 - 1 - 2 - 3 - 4, and 5 at x = -1 hanging off 0.
    HnswGraph g = chain(5);
    node(g, {-1, 0});
    g.layers[0][0].push_back(5);
    g.layers[0][5] = {0};
    vectors.mark_deleted(1);
    vectors.mark_deleted(2);
    const std::vector<float> q{4, 0};
    // With ef = 2 the result {0, 5} is full before 1 comes out; 1 and 2
    // score NaN, which neither ends the walk nor refuses them, so the walk
    // goes on through them to 3 and 4.
    const std::unordered_set<std::uint64_t> marked{1, 2};
    EXPECT_EQ(nodes_of(search_layer0(g, q, 0, 2, marked, vectors.get(), Metric::L2)),
              (std::vector<std::uint32_t>{4, 3}));
    // Node 0 is only in the set (its vector is intact): it starts the walk
    // but never enters the result. A delete also unmaps the slots.
    const std::unordered_set<std::uint64_t> deleted{0, 1, 2};
    for (std::uint64_t slot : deleted) g.slot_to_node.erase(slot);
    EXPECT_EQ(nodes_of(search_layer0(g, q, 0, 10, deleted, vectors.get(), Metric::L2)),
              (std::vector<std::uint32_t>{4, 3, 5}));
    for (Metric m : {Metric::Cosine, Metric::Dot}) {
        const auto found = search_layer0(g, std::vector<float>{1, 0}, 0, 10, deleted, vectors.get(), m);
        EXPECT_EQ(nodes_of(found), (std::vector<std::uint32_t>{4, 3, 5}));
    }
}

TEST_F(GraphSearchTest, ANaNScoreOfALiveNodeRanksLastAndLeavesTheResultFirst) {
    HnswGraph g = empty_graph(testing::small_config());
    node(g, {0, 0});
    node(g, {1, 0});
    node(g, {2, std::numeric_limits<float>::quiet_NaN()});  // not the deleted mark
    node(g, {3, 0});
    g.layers[0] = {{1}, {0, 2}, {1, 3}, {2}};
    const std::unordered_set<std::uint64_t> none;
    const std::vector<float> q{3, 0};
    const auto all = search_layer0(g, q, 0, 4, none, vectors.get(), Metric::L2);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(nodes_of(all), (std::vector<std::uint32_t>{3, 1, 0, 2}));
    EXPECT_TRUE(std::isnan(all[3].score));
    EXPECT_EQ(nodes_of(search_layer0(g, q, 0, 3, none, vectors.get(), Metric::L2)),
              (std::vector<std::uint32_t>{3, 1, 0}));
    const auto dot = search_layer0(g, std::vector<float>{1, 0}, 0, 4, none, vectors.get(), Metric::Dot);
    EXPECT_EQ(nodes_of(dot), (std::vector<std::uint32_t>{3, 1, 0, 2}));
}

TEST_F(GraphSearchTest, ThreadsWalkingGraphsOfDifferentSizesAtOnceGetTheSingleThreadAnswer) {
    // Each thread keeps one visited set for all its walks; taking turns on a
    // small and a larger graph makes every walk of the larger one grow it or
    // find marks left by the other graph.
    HnswGraph small = chain(5);
    HnswGraph large = complete(60);
    const std::unordered_set<std::uint64_t> none;
    const std::vector<float> q{4.5f, 0};
    const auto small_answer = search_layer0(small, q, 0, 3, none, vectors.get(), Metric::L2);
    ASSERT_EQ(nodes_of(small_answer), (std::vector<std::uint32_t>{4, 3, 2}));
    const auto large_answer = search_layer0(large, q, 59, 60, none, vectors.get(), Metric::L2);
    ASSERT_EQ(large_answer.size(), 60u);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (search_layer0(small, q, 0, 3, none, vectors.get(), Metric::L2) != small_answer) ++wrong;
                if (search_layer0(large, q, 59, 60, none, vectors.get(), Metric::L2) != large_answer) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace tessello
