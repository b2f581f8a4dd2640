#include "search/hnsw/insert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "hnsw_test_support.h"
#include "search/hnsw/level.h"

namespace tessello {
namespace {

using testing::VectorFile;
using Lists = std::vector<NeighbourList>;

HnswConfig config(std::uint64_t m, std::uint64_t m0, std::uint64_t max_m, std::uint64_t ef_construction,
                  double level_multiplier) {
    return HnswConfig{m, m0, max_m, ef_construction, 10, level_multiplier, 0};
}

class HnswInsertTest : public ::testing::Test {
protected:
    // Slots 0 .. n-1 holding (x, 0) for x = 0 .. n-1.
    void line(std::uint64_t n) {
        for (std::uint64_t i = 0; i < n; ++i) vectors.add({float(i), 0});
    }

    static std::vector<LiveEntry> entries(std::initializer_list<std::uint64_t> slots) {
        std::vector<LiveEntry> out;
        for (auto s : slots) out.push_back(LiveEntry{s, "s" + std::to_string(s)});
        return out;
    }

    // Every link is to a node of the graph and every list within its cap.
    static void expect_sound(const HnswGraph& g) {
        for (std::size_t l = 0; l < g.layers.size(); ++l) {
            ASSERT_EQ(g.layers[l].size(), g.nodes.size());
            const std::uint64_t cap = l == 0 ? g.config.m0 : g.config.max_m;
            for (const auto& list : g.layers[l]) {
                EXPECT_LE(list.size(), cap) << "layer " << l;
                for (auto n : list) EXPECT_LT(n, g.nodes.size());
            }
        }
    }

    VectorFile vectors{2};
};

TEST_F(HnswInsertTest, TheFirstNodeIsTheEntryPointAndTheSecondLinksOnEachOfItsLayers) {
    vectors.add({0, 0});
    vectors.add({5, 5});
    vectors.add({1, 0});
    // With multiplier 1.0 slot 0 draws level 0 and slot 2 level 1.
    ASSERT_EQ(draw_level(0, 1.0), 0);
    ASSERT_EQ(draw_level(2, 1.0), 1);
    HnswIndex index(empty_graph(config(4, 8, 4, 50, 1.0)), Metric::L2);
    insert_nodes(index, entries({0, 2}), vectors.get());
    const HnswGraph& g = index.graph;
    EXPECT_EQ(g.nodes, (std::vector<HnswNode>{{"s0", 0, 0}, {"s2", 2, 1}}));
    EXPECT_EQ(g.entry_point, 1u);
    EXPECT_EQ(g.max_level, 1);
    // The first node gets the link back on layer 1 although its level is 0.
    EXPECT_EQ(g.layers, (std::vector<Lists>{{{1}, {0}}, {{1}, {0}}}));
}

TEST_F(HnswInsertTest, EntriesWhoseSlotHasANodeAreSkipped) {
    line(6);
    HnswIndex index(empty_graph(config(4, 8, 4, 50, 0.0)), Metric::L2);
    insert_nodes(index, entries({1, 3}), vectors.get());
    const HnswGraph before = index.graph;
    insert_nodes(index, entries({3, 1}), vectors.get());
    testing::expect_same_graph(index.graph, before);

    insert_nodes(index, entries({3, 5, 1, 0}), vectors.get());
    ASSERT_EQ(index.graph.nodes.size(), 4u);
    EXPECT_EQ(index.graph.nodes[2].id, "s5");
    EXPECT_EQ(index.graph.nodes[3].id, "s0");
    expect_sound(index.graph);
}

TEST_F(HnswInsertTest, ATallerNodeTakesOverTheEntryPointAndLinksOnlyToTheOldOneAbove) {
    line(8);
    ASSERT_EQ(draw_level(7, 1.0), 3);
    HnswIndex index(empty_graph(config(4, 8, 4, 50, 1.0)), Metric::L2);
    insert_nodes(index, entries({0, 4, 2, 5}), vectors.get());
    ASSERT_EQ(index.graph.max_level, 1);
    const std::uint32_t old_entry = *index.graph.entry_point;
    insert_nodes(index, entries({7}), vectors.get());
    const HnswGraph& g = index.graph;
    const std::uint32_t fresh = 4;
    EXPECT_EQ(g.entry_point, fresh);
    EXPECT_EQ(g.max_level, 3);
    ASSERT_EQ(g.layers.size(), 4u);
    for (std::size_t l = 2; l <= 3; ++l) {
        for (std::uint32_t n = 0; n < g.nodes.size(); ++n) {
            const NeighbourList expected = n == fresh ? NeighbourList{old_entry}
                                           : n == old_entry ? NeighbourList{fresh}
                                                            : NeighbourList{};
            EXPECT_EQ(g.layers[l][n], expected) << "layer " << l << " node " << n;
        }
    }
    expect_sound(g);
}

TEST_F(HnswInsertTest, ThePerLayerResultIsCappedAt75AndZeroMeansNoLinks) {
    line(101);
    for (std::uint64_t ef_construction : {200u, 75u, 74u, 0u}) {
        SCOPED_TRACE(ef_construction);
        // 100 nodes linked to one another, then slot 100 at x = 100.
        HnswGraph g = empty_graph(config(4, 200, 4, ef_construction, 0.0));
        for (std::uint64_t i = 0; i < 100; ++i) add_node(g, i, "s" + std::to_string(i), 0);
        for (std::uint32_t i = 0; i < 100; ++i)
            for (std::uint32_t j = 0; j < 100; ++j)
                if (i != j) g.layers[0][i].push_back(j);
        HnswIndex index(std::move(g), Metric::L2);
        insert_nodes(index, entries({100}), vectors.get());
        // Its list: the nearest min(ef, 75) nodes, nearest first.
        NeighbourList expected;
        for (std::uint32_t j = 99; expected.size() < std::min<std::uint64_t>(ef_construction, 75); --j)
            expected.push_back(j);
        EXPECT_EQ(index.graph.layers[0][100], expected);
        std::size_t links_back = 0;
        for (std::uint32_t i = 0; i < 100; ++i)
            links_back += std::count(index.graph.layers[0][i].begin(), index.graph.layers[0][i].end(), 100u);
        EXPECT_EQ(links_back, expected.size());
    }
}

TEST_F(HnswInsertTest, LayerSearchKeepsEarlierOfEqualScoresAndTakesTheLaterCandidateFirst) {
    vectors.add({10, 0});  // entry, score 100 from the origin
    vectors.add({1, 0});   // three candidates of score 1
    vectors.add({0, 1});
    vectors.add({-1, 0});
    HnswGraph g = empty_graph(config(4, 8, 4, 50, 0.0));
    for (std::uint64_t i = 0; i < 4; ++i) add_node(g, i, "s" + std::to_string(i), 0);
    g.layers[0][0] = {1, 2, 3};
    const std::vector<float> origin{0, 0};
    auto nodes = [&](std::uint64_t ef, std::uint64_t layer = 0) {
        std::vector<std::uint32_t> out;
        for (const auto& c : search_layer_for_insert(g, origin, 0, layer, ef, vectors.get(), Metric::L2))
            out.push_back(c.node);
        return out;
    };
    // Among equal scores the candidate appended last comes out first; once
    // the result is full an equal score is not admitted.
    EXPECT_EQ(nodes(2), (std::vector<std::uint32_t>{3, 2}));
    EXPECT_EQ(nodes(10), (std::vector<std::uint32_t>{3, 2, 1, 0}));
    EXPECT_TRUE(nodes(0).empty());
    // A layer the graph lacks offers the entry alone.
    EXPECT_EQ(nodes(10, 5), std::vector<std::uint32_t>{0});
}

TEST_F(HnswInsertTest, LayerSearchRoutesThroughANaNWhileThereIsRoomAndAnyNumberPushesItOut) {
    // Entry 0 scores 9 from the origin (L2), 1 scores NaN (a live vector with
    // a NaN component), 2 scores 4, and 3 scores 1 but hangs off 1 only.
    // Against (-1, 0) Dot and Cosine rank the nodes the same way (-3, NaN,
    // -2, 0).
    vectors.add({3, 0});
    vectors.add({1, std::numeric_limits<float>::quiet_NaN()});
    vectors.add({2, 0});
    vectors.add({0, 1});
    HnswGraph g = empty_graph(config(4, 8, 4, 50, 0.0));
    for (std::uint64_t i = 0; i < 4; ++i) add_node(g, i, "s" + std::to_string(i), 0);
    g.layers[0][0] = {1, 2};
    g.layers[0][1] = {3};
    const struct {
        std::uint64_t ef;
        std::vector<std::uint32_t> want;
    } cases[] = {
        // Full from the start: the NaN is not even queued; 2 displaces the entry.
        {1, {2}},
        // Full once 2 is in: the NaN comes out after every number and ranks
        // after W's last one, so the walk ends without reaching 3.
        {2, {2, 0}},
        // Room for the NaN: it is taken, expanded (which finds 3), and 3,
        // being a number, pushes it out.
        {3, {3, 2, 0}},
        {10, {3, 2, 0, 1}},
    };
    const struct {
        Metric metric;
        std::vector<float> query;
    } metrics[] = {{Metric::L2, {0, 0}}, {Metric::Dot, {-1, 0}}, {Metric::Cosine, {-1, 0}}};
    for (const auto& m : metrics) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "metric " << static_cast<int>(m.metric) << " ef " << c.ef);
            const auto found = search_layer_for_insert(g, m.query, 0, 0, c.ef, vectors.get(), m.metric);
            std::vector<std::uint32_t> nodes;
            for (const auto& f : found) nodes.push_back(f.node);
            EXPECT_EQ(nodes, c.want);
            if (c.ef == 10) {
                EXPECT_TRUE(std::isnan(found.back().score));
            }
        }
    }
}

TEST_F(HnswInsertTest, LayerSearchPushesOutTheLaterOfEquallyWorstEntries) {
    // 0 (the entry) and 1 both score 4 from the origin and fill W (ef 2) in
    // that order; 2 scores 2 and hangs off 1, so it arrives with W full.
    vectors.add({2, 0});
    vectors.add({0, 2});
    vectors.add({1, 1});
    HnswGraph g = empty_graph(config(4, 8, 4, 50, 0.0));
    for (std::uint64_t i = 0; i < 3; ++i) add_node(g, i, "s" + std::to_string(i), 0);
    g.layers[0][0] = {1};
    g.layers[0][1] = {2};
    const auto found = search_layer_for_insert(g, std::vector<float>{0, 0}, 0, 0, 2, vectors.get(), Metric::L2);
    EXPECT_EQ(found, (std::vector<GraphCandidate>{{2, 2.0f}, {0, 4.0f}}));
}

TEST_F(HnswInsertTest, PruningKeepsTheNearestStablyAndDropsUnallocatedSlots) {
    vectors.add({0, 0});                     // node 0, the owner
    vectors.add({2, 0});                     // 1: score 4
    vectors.add({1, 0});                     // 2: 1
    vectors.add({0, 2});                     // 3: 4
    vectors.add({3, 0});                     // 4: 9
    vectors.add({0, 1});                     // 5: 1
    const std::uint64_t gone = vectors.add({0, 0});  // slot 6, node 7: deleted, scores NaN
    vectors.mark_deleted(gone);
    HnswGraph g = empty_graph(config(4, 8, 4, 50, 0.0));
    for (std::uint64_t i = 0; i < 6; ++i) add_node(g, i, "s" + std::to_string(i), 0);
    add_node(g, 99, "unallocated", 0);  // 6
    add_node(g, gone, "deleted", 0);    // 7
    const NeighbourList all{1, 2, 3, 4, 5, 6, 7};

    g.layers[0][0] = all;
    prune_neighbours(g, 0, 0, 3, vectors.get(), Metric::L2);
    EXPECT_EQ(g.layers[0][0], (NeighbourList{2, 5, 1}));
    g.layers[0][0] = all;
    prune_neighbours(g, 0, 0, 6, vectors.get(), Metric::L2);
    EXPECT_EQ(g.layers[0][0], (NeighbourList{2, 5, 1, 3, 4, 7}));
    // Higher is better for Dot: against (0, 0) every number scores 0.
    g.layers[0][0] = all;
    prune_neighbours(g, 0, 0, 6, vectors.get(), Metric::Dot);
    EXPECT_EQ(g.layers[0][0], (NeighbourList{1, 2, 3, 4, 5, 7}));
    // A list within its cap is left alone.
    g.layers[0][0] = all;
    prune_neighbours(g, 0, 0, 7, vectors.get(), Metric::L2);
    EXPECT_EQ(g.layers[0][0], all);
    // An owner without a vector keeps the first entries as they stand.
    g.layers[0][6] = {4, 3, 2, 1};
    prune_neighbours(g, 6, 0, 2, vectors.get(), Metric::L2);
    EXPECT_EQ(g.layers[0][6], (NeighbourList{4, 3}));
}

TEST_F(HnswInsertTest, AnOverlongListIsCutWhenANewNodeChoosesItsOwner) {
    line(41);
    vectors.add({0.5f, 0});  // slot 41, nearest to node 0
    for (bool already_listed : {false, true}) {
        SCOPED_TRACE(already_listed);
        // Node 0 with 40 neighbours, as a bulk build may leave it.
        HnswGraph g = empty_graph(config(4, 4, 4, 50, 0.0));
        for (std::uint64_t i = 0; i < 41; ++i) add_node(g, i, "s" + std::to_string(i), 0);
        for (std::uint32_t i = 1; i <= 40; ++i) {
            g.layers[0][0].push_back(i);
            g.layers[0][i] = {0};
        }
        if (already_listed) g.layers[0][0].back() = 41;  // the index the new node will get
        HnswIndex index(std::move(g), Metric::L2);
        insert_nodes(index, entries({41}), vectors.get());
        EXPECT_EQ(index.graph.layers[0][0], (NeighbourList{41, 1, 2, 3}));
    }
}

TEST_F(HnswInsertTest, ManyInsertsKeepEveryCapAndLinkSoundAlsoAroundDeletedVectors) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-1, 1);
    for (int i = 0; i < 120; ++i) vectors.add({coord(rng), coord(rng)});
    for (std::uint64_t s = 0; s < 120; s += 9) vectors.mark_deleted(s);
    for (Metric metric : {Metric::L2, Metric::Dot}) {
        SCOPED_TRACE(static_cast<int>(metric));
        HnswIndex index(empty_graph(config(3, 2, 3, 20, 1.0)), metric);
        std::vector<LiveEntry> batch;
        for (std::uint64_t s = 0; s < 120; ++s) batch.push_back(LiveEntry{s, "s" + std::to_string(s)});
        batch.push_back(LiveEntry{1000, "beyond"});
        insert_nodes(index, batch, vectors.get());
        ASSERT_EQ(index.graph.nodes.size(), 121u);
        EXPECT_GT(index.graph.max_level, 0);
        expect_sound(index.graph);
        // The node without a vector has no links of its own and nobody links to it.
        const std::uint32_t beyond = index.graph.slot_to_node.at(1000);
        for (const auto& layer : index.graph.layers) {
            EXPECT_TRUE(layer[beyond].empty());
            for (const auto& list : layer) EXPECT_EQ(std::count(list.begin(), list.end(), beyond), 0);
        }
    }
}

TEST_F(HnswInsertTest, TheSameStartAndEntriesGiveTheSameGraph) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> coord(0, 10);
    for (int i = 0; i < 80; ++i) vectors.add({coord(rng), coord(rng)});
    auto run = [&] {
        HnswIndex index(empty_graph(config(4, 6, 5, 30, 1 / std::log(4.0))), Metric::L2);
        insert_nodes(index, entries({3, 1, 4}), vectors.get());
        std::vector<LiveEntry> rest;
        for (std::uint64_t s = 0; s < 80; ++s) rest.push_back(LiveEntry{s, "s" + std::to_string(s)});
        insert_nodes(index, rest, vectors.get());
        return index.graph;
    };
    const HnswGraph a = run();
    const HnswGraph b = run();
    testing::expect_same_graph(a, b);
    EXPECT_EQ(a.nodes.size(), 80u);
}

}  // namespace
}  // namespace tessello
