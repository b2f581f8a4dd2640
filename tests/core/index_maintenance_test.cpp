#include "collection/index_maintenance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <random>

#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "json/json_writer.h"
#include "collection_fixture.h"
#include "base/fault_injection.h"
#include "search/filter/parse_where.h"
#include "search/hnsw/persist.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class IndexMaintenanceTest : public CollectionFixture {
protected:
    void TearDown() override {
#ifdef TESSELLO_FAULT_INJECTION
        disarm_faults();
#endif
    }
    CollectionHandle open_hnsw(const char* name = "h") {
        auto core = open_collection(dir / name, CollectionConfig{name, 4, Metric::L2, 0, HnswConfig{8, 16, 8, 50, 20, 0.5, 0}});
        EXPECT_TRUE(core) << (core ? "" : core.error().message());
        return core ? *core : nullptr;
    }
    // Records r0.. at distinct points, stored (not buffered).
    static void fill(Collection& c, int from, int to) {
        std::vector<float> v(4);
        for (int i = from; i < to; ++i) {
            v = {float(i), float(i % 7), float(i % 3), 1};
            add(c, v, "r" + std::to_string(i));
        }
        ASSERT_TRUE(flush_pending(c));
    }
    static std::uint64_t nodes(Collection& c) { return Access::index(c) ? hnsw_node_count(*Access::index(c)) : 0; }
    // The graph answers approximately, and a parallel build links nodes in
    // whatever order the pool inserts them: a record is expected among the
    // first hits rather than as the very first.
    static bool among_first(Collection& c, std::vector<float> q, const std::string& id, std::uint64_t k = 10) {
        const auto ids = search_ids(c, std::move(q), k);
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    static std::vector<std::string> search_ids(Collection& c, std::vector<float> q, std::uint64_t k) {
        auto hits = search_collection(c, q, k, nullptr);
        EXPECT_TRUE(hits) << (hits ? "" : hits.error().message());
        std::vector<std::string> out;
        if (hits)
            for (const auto& h : *hits) out.push_back(h.id);
        return out;
    }
};

TEST_F(IndexMaintenanceTest, WithoutHnswParametersNothingHappens) {
    auto core = open();
    add(*core, {1, 1}, "a");
    ASSERT_TRUE(flush_pending(*core));
    Access::index_dirty(*core).store(true);
    ASSERT_TRUE(ensure_index(*core));
    EXPECT_FALSE(Access::index(*core));
}

TEST_F(IndexMaintenanceTest, EmptyCollectionGetsAnEmptyGraph) {
    auto core = open_hnsw();
    EXPECT_FALSE(Access::index_dirty(*core).load());  // no file, no live record
    Access::index_dirty(*core).store(true);
    ASSERT_TRUE(ensure_index(*core));
    ASSERT_TRUE(Access::index(*core));
    EXPECT_EQ(nodes(*core), 0u);
    EXPECT_FALSE(Access::index_dirty(*core).load());
}

TEST_F(IndexMaintenanceTest, RebuildThenExtendThenRebuildAfterDeletes) {
    auto core = open_hnsw();
    fill(*core, 0, 10);
    EXPECT_TRUE(among_first(*core, {4, 4, 1, 1}, "r4"));
    EXPECT_EQ(nodes(*core), 10u);
    // Two deletes and three adds: 11 live records over 10 nodes extend the graph.
    EXPECT_TRUE(*delete_record(*core, "r2"));
    EXPECT_TRUE(*delete_record(*core, "r3"));
    EXPECT_TRUE(Access::index(*core)->deleted_slots.contains(2));
    EXPECT_FALSE(Access::index(*core)->graph.slot_to_node.contains(2));
    fill(*core, 10, 13);
    EXPECT_TRUE(among_first(*core, {12, 5, 0, 1}, "r12"));
    EXPECT_EQ(nodes(*core), 13u);
    EXPECT_TRUE(Access::index(*core)->deleted_slots.contains(2));
    // Deleted records are never returned from the graph.
    for (const auto& id : search_ids(*core, {2, 2, 2, 1}, 20)) EXPECT_TRUE(id != "r2" && id != "r3");
    // Fewer live records than nodes: a full rebuild with no deleted slots.
    EXPECT_TRUE(*delete_record(*core, "r12"));
    ASSERT_TRUE(ensure_index(*core));
    EXPECT_EQ(nodes(*core), 10u);
    EXPECT_TRUE(Access::index(*core)->deleted_slots.empty());
}

TEST_F(IndexMaintenanceTest, GraphPathFiltersAfterTheWalk) {
    auto core = open_hnsw();
    hold_buffer(*core);
    for (int i = 0; i < 40; ++i)
        add(*core, {float(i), 0, 0, 0}, "r" + std::to_string(i), i % 2 ? R"({"odd":true})" : R"({"odd":false})");
    ASSERT_TRUE(flush_pending(*core));
    const auto odd = parse_where(json(R"({"odd":true})"));
    auto hits = search_collection(*core, std::vector<float>{10, 0, 0, 0}, 2, &odd);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 2u);
    for (const auto& hit : *hits) EXPECT_TRUE(to_json_text(hit.metadata) == R"({"odd":true})");
    EXPECT_TRUE(Access::index(*core));
}

TEST_F(IndexMaintenanceTest, SyncSavesAndOpeningLoadsWhenCountsAgree) {
    {
        auto core = open_hnsw();
        fill(*core, 0, 30);
        ASSERT_TRUE(sync_collection(*core));
        EXPECT_TRUE(std::filesystem::exists(dir / "h" / "hnsw.index"));
    }
    {
        auto core = open_hnsw();
        ASSERT_TRUE(Access::index(*core));
        EXPECT_FALSE(Access::index_dirty(*core).load());
        EXPECT_EQ(nodes(*core), 30u);
        EXPECT_TRUE(among_first(*core, {7, 0, 1, 1}, "r7"));
        fill(*core, 30, 32);  // released without a sync: the file lags behind
    }
    auto core = open_hnsw();
    EXPECT_FALSE(Access::index(*core));
    EXPECT_TRUE(Access::index_dirty(*core).load());
    EXPECT_TRUE(among_first(*core, {31, 3, 1, 1}, "r31"));
}

TEST_F(IndexMaintenanceTest, AFileThatDoesNotLoadIsRebuilt) {
    {
        auto core = open_hnsw();
        fill(*core, 0, 5);
    }
    std::ofstream(dir / "h" / "hnsw.index", std::ios::binary) << "garbage!";
    auto core = open_hnsw();
    EXPECT_FALSE(Access::index(*core));
    EXPECT_TRUE(Access::index_dirty(*core).load());
    EXPECT_TRUE(among_first(*core, {3, 3, 0, 1}, "r3"));
    EXPECT_EQ(nodes(*core), 5u);
}

TEST_F(IndexMaintenanceTest, AFileWhoseNodesNameOtherRecordsIsRebuilt) {
    {
        auto core = open_hnsw();
        fill(*core, 0, 12);
        ASSERT_TRUE(sync_collection(*core));
    }
    // A well-formed file, checksum and all, with as many nodes as live
    // records, whose nodes do not name them: one node on another record's
    // slot, then one under an identifier nobody has.
    const auto path = dir / "h" / "hnsw.index";
    for (int variant = 0; variant < 2; ++variant) {
        auto loaded = load_hnsw_index(path, Metric::L2);
        ASSERT_TRUE(loaded);
        HnswGraph graph = (*loaded)->graph;
        if (variant == 0)
            graph.nodes[1].slot = graph.nodes[2].slot;
        else
            graph.nodes[1].id = "nobody";
        const std::filesystem::path forged = dir / "forged.index";
        ASSERT_TRUE(save_index(graph, forged));
        {
            auto core = open_hnsw();
            std::filesystem::copy_file(forged, path, std::filesystem::copy_options::overwrite_existing);
        }
        auto core = open_hnsw();
        EXPECT_FALSE(Access::index(*core)) << variant;
        EXPECT_TRUE(Access::index_dirty(*core).load()) << variant;
        // Rebuilt from the records, every hit is a record at its true place.
        EXPECT_EQ(search_ids(*core, {5, 5, 2, 1}, 1), std::vector<std::string>{"r5"}) << variant;
        ASSERT_TRUE(sync_collection(*core));
    }
}

TEST_F(IndexMaintenanceTest, UndecodableRecordLeavesTheIndexAndTheFlag) {
    auto core = open_hnsw();
    fill(*core, 0, 5);
    ASSERT_TRUE(ensure_index(*core));
    {
        auto w = begin_write_txn(Access::meta_db(*core));
        const std::uint8_t junk[] = {1};
        ASSERT_TRUE(w->put(kRecordsTable, "junk", junk));
        ASSERT_TRUE(w->commit());
    }
    Access::index_dirty(*core).store(true);
    auto before = Access::index(*core);
    EXPECT_FALSE(ensure_index(*core));
    EXPECT_EQ(Access::index(*core), before);
    EXPECT_TRUE(Access::index_dirty(*core).load());
    EXPECT_FALSE(search_collection(*core, std::vector<float>{1, 1, 1, 1}, 1, nullptr));
}

TEST_F(IndexMaintenanceTest, GraphSearchBeginsItsTransactionEvenForNoHits) {
    auto core = open_hnsw();
    fill(*core, 0, 3);
    ASSERT_TRUE(ensure_index(*core));
    std::vector<ReadTxn> held;  // every reader slot of the store
    for (int i = 0; i < 10000; ++i) {
        auto t = begin_read_txn(Access::meta_db(*core));
        if (!t) break;
        held.push_back(std::move(*t));
    }
    auto hits = search_collection(*core, std::vector<float>{1, 1, 1, 1}, 0, nullptr);
    ASSERT_FALSE(hits);
    EXPECT_EQ(hits.error().kind(), StoreError::Transaction);
}

// Points spread evenly (well separated clusters can be cut off by the pruning
// of the incremental insert, which keeps only the nearest links).
std::vector<float> point(int t, int i) {
    std::mt19937 rng(static_cast<unsigned>(t * 1000 + i));
    std::normal_distribution<float> normal;
    return {normal(rng), normal(rng), normal(rng), normal(rng)};
}

TEST_F(IndexMaintenanceTest, AddsDeletesAndGraphSearchesFromManyThreads) {
    auto core = open_hnsw();
    fill(*core, 0, 50);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const std::vector<float> v = point(t, i);
                if (!insert_record(*core, v, JsonValue::object({}), "t" + std::to_string(t) + "-" + std::to_string(i),
                                   std::nullopt))
                    ++failures;
                if (i % 3 == 0 && !search_collection(*core, v, 3, nullptr)) ++failures;
                if (t == 0 && i % 10 == 0 && !delete_record(*core, "r" + std::to_string(i / 10))) ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(*collection_len(*core), 50u + 240u - 6u);
    // Every record is reachable: with k above the record count the walk sees them all.
    EXPECT_TRUE(among_first(*core, point(3, 1), "t3-1", 300));
}

// A record committed while maintenance is bringing the graph up to date from
// the records it read before: that pass does not hold it, so the next must.
TEST_F(IndexMaintenanceTest, ARecordCommittedDuringMaintenanceIsIndexedByTheNext) {
    auto core = open_hnsw();
    fill(*core, 0, 20);
    ASSERT_TRUE(ensure_index(*core));
    fill(*core, 20, 30);
    add(*core, {30, 2, 0, 1}, "r30");  // buffered: stored by the flush below
    HnswIndex* index = Access::index(*core);
    ASSERT_NE(index, nullptr);

    // The pass reads the records, then waits for the graph's lock to count
    // the nodes. The pause only lets it get there: were it late, it would see
    // r30 and the test would show nothing, but never fail wrongly. The flush
    // runs on a thread of its own, which holds nothing of the graph, as any
    // writer does.
    index->graph_lock.lock();
    std::thread maintenance([&] { EXPECT_TRUE(ensure_index(*core)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::thread([&] { EXPECT_TRUE(flush_pending(*core)); }).join();
    index->graph_lock.unlock();
    maintenance.join();

    ASSERT_TRUE(ensure_index(*core));
    EXPECT_EQ(nodes(*core), 31u);
    EXPECT_TRUE(among_first(*core, {30, 2, 0, 1}, "r30"));
}

#ifdef TESSELLO_FAULT_INJECTION
TEST_F(IndexMaintenanceTest, FailedDeleteTakesTheMaskBack) {
    auto core = open_hnsw();
    fill(*core, 0, 5);
    ASSERT_TRUE(ensure_index(*core));
    const auto slot = stored(*core, "r1")->slot;
    arm_fault(FaultPoint::Commit);
    ASSERT_FALSE(delete_record(*core, "r1"));
    EXPECT_FALSE(Access::index(*core)->deleted_slots.contains(slot));
    EXPECT_TRUE(Access::index(*core)->graph.slot_to_node.contains(slot));
    EXPECT_TRUE(among_first(*core, {1, 1, 1, 1}, "r1"));
}
#endif

}  // namespace
}  // namespace tessello
