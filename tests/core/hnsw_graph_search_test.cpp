#include "search/hnsw/graph_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "hnsw_test_support.h"
#include "json/json_reader.h"
#include "search/filter/json_value_eq.h"
#include "search/filter/parse_where.h"
#include "storage/records_table.h"

namespace tessello {
namespace {

using testing::VectorFile;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::vector<std::uint32_t> nodes_of(const std::vector<GraphCandidate>& found) {
    std::vector<std::uint32_t> out;
    for (const auto& c : found) out.push_back(c.node);
    return out;
}

std::vector<std::string> ids_of(const std::vector<SearchHit>& hits) {
    std::vector<std::string> out;
    for (const auto& h : hits) out.push_back(h.id);
    return out;
}

// A vector file, a records table and a graph whose node i is named "n<i>".
class GraphSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto opened = KvStore::open(vectors.dir / "meta.redb", {kRecordsTable});
        ASSERT_TRUE(opened);
        db = std::move(*opened);
    }

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

    void put(const std::string& id, std::uint64_t slot, std::string metadata = "{}",
             std::optional<std::uint64_t> expires = std::nullopt, RecordState state = RecordState::Active) {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(w);
        ASSERT_TRUE(put_record(*w, Record{id, slot, std::move(metadata), 1, expires, state}));
        ASSERT_TRUE(w->commit());
    }

    // A live record for each of the first `count` nodes of g, in one transaction.
    void put_all(const HnswGraph& g, std::size_t count = std::numeric_limits<std::size_t>::max()) {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(w);
        for (std::size_t i = 0; i < std::min(count, g.nodes.size()); ++i)
            ASSERT_TRUE(put_record(*w, Record{g.nodes[i].id, g.nodes[i].slot, "{}", 1, std::nullopt, {}}));
        ASSERT_TRUE(w->commit());
    }

    Result<std::vector<SearchHit>> search(HnswIndex& index, std::vector<float> q, std::uint64_t k_prime) {
        auto txn = begin_read_txn(*db);
        if (!txn) return fail(txn.error());
        return search_hnsw(index, q, k_prime, vectors.get(), *txn);
    }

    VectorFile vectors{2};
    std::unique_ptr<KvStore> db;
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

TEST_F(GraphSearchTest, HitsSkipAbsentNotActiveAndExpiredRecordsInCandidateOrder) {
    HnswGraph g = complete(8);
    const std::uint64_t now = now_unix_secs();
    // Candidates best first for the query (7, 0): n7, n6, ..., n0.
    put("n7", 7, "{\"g\":1}");
    // n6 has no record.
    put("n5", 5, "{}", std::nullopt, RecordState::Pending);
    put("n4", 4, "{}", std::nullopt, RecordState::Tombstone);
    put("n3", 3, "{}", now - 1);
    put("n2", 2, "{}", now);
    put("n1", 1, "{not json", now + 3600);
    put("n0", 0, "[1]");
    HnswIndex index(std::move(g), Metric::L2);
    auto hits = search(index, {7, 0}, 8);
    ASSERT_TRUE(hits) << hits.error().message();
    EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"n7", "n1", "n0"}));
    EXPECT_TRUE(json_value_eq((*hits)[0].metadata, *parse_json("{\"g\":1}")));
    EXPECT_EQ((*hits)[0].score, 0.0f);
    EXPECT_TRUE((*hits)[1].metadata.is_null());
    EXPECT_EQ((*hits)[1].score, 36.0f);
    EXPECT_TRUE(json_value_eq((*hits)[2].metadata, *parse_json("[1]")));

    // Only the first 2k' candidates are looked up: n7 to n4, one of them live.
    EXPECT_EQ(ids_of(*search(index, {7, 0}, 2)), std::vector<std::string>{"n7"});
    EXPECT_EQ(ids_of(*search(index, {7, 0}, 1)), std::vector<std::string>{"n7"});
    EXPECT_TRUE(search(index, {7, 0}, 0)->empty());
}

TEST_F(GraphSearchTest, AtMostTwiceKPrimeCandidatesAreLookedUpWhateverEf) {
    HnswGraph g = complete(30);
    // The ten nodes nearest the query (29, 0) have no record.
    put_all(g, 20);
    HnswIndex index(std::move(g), Metric::L2);
    for (std::uint64_t ef_search : {10u, 100u}) {
        SCOPED_TRACE(ef_search);
        index.graph.config.ef_search = ef_search;
        // 16 candidates, 10 of them without a record: 6 hits, not 8.
        auto hits = search(index, {29, 0}, 8);
        ASSERT_TRUE(hits);
        EXPECT_EQ(ids_of(*hits), (std::vector<std::string>{"n19", "n18", "n17", "n16", "n15", "n14"}));
        // 30 candidates cover every record; the hits stop at k'.
        EXPECT_EQ(search(index, {29, 0}, 15)->size(), 15u);
        EXPECT_EQ(search(index, {29, 0}, 25)->size(), 20u);
    }
}

TEST_F(GraphSearchTest, EmptyAndFullyDeletedIndexesGiveNoHits) {
    HnswIndex empty(empty_graph(testing::small_config()), Metric::L2);
    EXPECT_TRUE(search(empty, {1, 0}, 5)->empty());

    HnswGraph g = complete(4);
    put_all(g);
    HnswIndex index(std::move(g), Metric::L2);
    // A delete puts the slot in the set and unmaps it from its node.
    auto remap = [&](std::unordered_set<std::uint64_t> slots) {
        index.deleted_slots = slots;
        index.graph.slot_to_node.clear();
        for (std::uint32_t n = 0; n < index.graph.nodes.size(); ++n)
            if (!slots.contains(index.graph.nodes[n].slot)) index.graph.slot_to_node[index.graph.nodes[n].slot] = n;
    };
    remap({0, 1, 2, 3});
    auto hits = search(index, {1, 0}, 5);
    ASSERT_TRUE(hits);
    EXPECT_TRUE(hits->empty());
    // The entry point's record deleted: walked, not returned, its neighbours are.
    remap({0});
    EXPECT_EQ(ids_of(*search(index, {0, 0}, 5)), (std::vector<std::string>{"n1", "n2", "n3"}));
}

TEST_F(GraphSearchTest, ANodeForARecordThatReusedADeletedSlotIsFound) {
    HnswGraph g = complete(3);
    put_all(g);
    // Slot 1 was deleted; a new record took it and got node 3 of its own.
    g.slot_to_node.erase(1);
    const std::uint32_t reused = add_node(g, 1, "new", 0);
    for (std::uint32_t n = 0; n < reused; ++n) {
        g.layers[0][n].push_back(reused);
        g.layers[0][reused].push_back(n);
    }
    put("new", 1, "{}");
    HnswIndex index(std::move(g), Metric::L2);
    index.deleted_slots = {1};
    const auto found = ids_of(*search(index, {1, 0}, 5));
    EXPECT_NE(std::find(found.begin(), found.end(), "new"), found.end());
    EXPECT_EQ(std::find(found.begin(), found.end(), "n1"), found.end());
}

TEST_F(GraphSearchTest, UpperLayersAreDescendedBeforeLayerZero) {
    // Layer 0 has two parts that do not meet: {0, 1, 2} near the origin and
    // {3, 4, 5} near x = 10. Only the upper layers lead from the entry 0 to
    // the second part: 3 has nothing on layer 3, 0 -> 3 on layer 2, 3 -> 4
    // on layer 1.
    HnswGraph g = empty_graph(testing::small_config(4, 2));
    node(g, {0, 0}, 3);
    node(g, {1, 0});
    node(g, {2, 0});
    node(g, {10, 0}, 2);
    node(g, {11, 0}, 1);
    node(g, {12, 0});
    g.layers[0] = {{1}, {0, 2}, {1}, {4}, {3, 5}, {4}};
    g.layers[2][0] = {3};
    g.layers[1][3] = {4};
    ASSERT_EQ(g.max_level, 3);
    ASSERT_EQ(g.entry_point, 0u);
    put_all(g);
    HnswIndex index(std::move(g), Metric::L2);
    EXPECT_EQ(ids_of(*search(index, {12, 0}, 1)), std::vector<std::string>{"n5"});

    // With every upper list empty the walk starts layer 0 at the entry point.
    for (std::size_t l = 1; l < index.graph.layers.size(); ++l)
        for (auto& list : index.graph.layers[l]) list.clear();
    EXPECT_EQ(ids_of(*search(index, {12, 0}, 1)), std::vector<std::string>{"n2"});
}

TEST_F(GraphSearchTest, ALookupErrorDropsEveryHit) {
    HnswGraph g = complete(3);
    put_all(g);
    {
        auto w = begin_write_txn(*db);
        const std::uint8_t junk[] = {1, 2, 3};
        ASSERT_TRUE(w->put(kRecordsTable, "n1", junk));
        ASSERT_TRUE(w->commit());
    }
    HnswIndex index(std::move(g), Metric::L2);
    auto hits = search(index, {0, 0}, 3);
    ASSERT_FALSE(hits);
    EXPECT_EQ(hits.error().message(), "Serialization error: io error: unexpected end of file");
}

TEST_F(GraphSearchTest, AnIndexWithoutNodesGivesNoHits) {
    HnswIndex empty(empty_graph(testing::small_config()), Metric::L2);
    auto hits = search(empty, {0, 0}, 3);
    ASSERT_TRUE(hits);
    EXPECT_TRUE(hits->empty());
}

TEST_F(GraphSearchTest, GraphPathWidensTheRequestForAFilterAndKeepsTheFirstKMatches) {
    HnswGraph g = complete(10);
    // Ranked from the query (0, 0): n0 first, n9 last; n0 and n8 match.
    for (const auto& n : g.nodes) put(n.id, n.slot, n.id == "n0" || n.id == "n8" ? "{\"g\":1}" : "{\"g\":0}");
    HnswIndex index(std::move(g), Metric::L2);
    const std::vector<float> q{0, 0};
    const auto g1 = parse_where(*parse_json("{\"g\":1}"));
    const std::vector<FilterCondition> no_conditions;
    auto run = [&](std::uint64_t k, const std::vector<FilterCondition>* filter) {
        auto txn = begin_read_txn(*db);
        auto hits = graph_path_hits(index, q, k, filter, vectors.get(), *txn);
        EXPECT_TRUE(hits);
        return hits ? ids_of(*hits) : std::vector<std::string>{};
    };
    using Ids = std::vector<std::string>;
    EXPECT_EQ(run(2, nullptr), (Ids{"n0", "n1"}));
    EXPECT_EQ(run(2, &no_conditions), (Ids{"n0", "n1"}));
    // k' = min(8, 10): n8 is the ninth hit and is never examined.
    EXPECT_EQ(run(2, &g1), Ids{"n0"});
    // k' = min(12, 10) = 10 reaches it.
    EXPECT_EQ(run(3, &g1), (Ids{"n0", "n8"}));
    EXPECT_TRUE(run(0, &g1).empty());
    EXPECT_TRUE(run(0, nullptr).empty());
    // Counts whose 4k or 2k' overflow.
    EXPECT_EQ(run(kMaxU64, &g1), (Ids{"n0", "n8"}));
    EXPECT_EQ(run(kMaxU64 / 4 + 1, &no_conditions).size(), 10u);
    EXPECT_EQ(run(kMaxU64, nullptr).size(), 10u);
    EXPECT_EQ(run(kMaxU64 / 2 + 1, nullptr).size(), 10u);
}

}  // namespace
}  // namespace tessello
