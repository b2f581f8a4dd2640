// Many threads adding to and searching one collection at once: every add that
// returned must be stored after a sync, and searches must never fail.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "collection/batch_add.h"
#include "collection/compaction.h"
#include "collection/fetch_record.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "collection_fixture.h"
#include "export/export.h"
#include "search/filter/parse_where.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class CollectionConcurrencyTest : public CollectionFixture {};

TEST_F(CollectionConcurrencyTest, EightThreadsAddAndSearch) {
    constexpr int kThreads = 8;
    constexpr int kAddsPerThread = 150;
    auto core = open(16, Metric::Cosine);
    std::vector<std::vector<std::string>> acknowledged(kThreads);
    std::atomic<int> search_failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> v(16);
            for (int i = 0; i < kAddsPerThread; ++i) {
                for (int d = 0; d < 16; ++d) v[d] = float((t * 31 + i * 7 + d) % 13) - 6.0f;
                auto id = insert_record(*core, v, JsonValue::object({}), std::nullopt, std::nullopt);
                ASSERT_TRUE(id) << id.error().message();
                acknowledged[t].push_back(*id);
                // A search while other threads flush must not fail.
                if (i % 5 == 0 && !search_collection(*core, v, 5, nullptr)) ++search_failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(search_failures.load(), 0);
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(*collection_len(*core), std::uint64_t{kThreads} * kAddsPerThread);
    EXPECT_EQ(stored_count(*core), std::size_t{kThreads} * kAddsPerThread);
    for (const auto& ids : acknowledged)
        for (const auto& id : ids) {
            auto hit = fetch_record(*core, id);
            ASSERT_TRUE(hit && *hit) << id;
        }
    // Search of many stored records runs on the worker pool from several threads.
    std::vector<std::thread> searchers;
    for (int t = 0; t < 4; ++t)
        searchers.emplace_back([&] {
            std::vector<float> q(16, 1.0f);
            for (int i = 0; i < 5; ++i) {
                auto hits = search_collection(*core, q, 10, nullptr);
                ASSERT_TRUE(hits);
                EXPECT_EQ(hits->size(), 10u);
            }
        });
    for (auto& th : searchers) th.join();
}

// Every operation of a core at once on a collection with a graph, each thread
// running its own mix: none may fail, and none may break the lock order (a
// broken rule aborts the process).
TEST_F(CollectionConcurrencyTest, EveryOperationAtOnceKeepsTheLockOrder) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    auto opened = open_collection(dir / "h", CollectionConfig{"h", 4, Metric::L2, 0, HnswConfig{8, 16, 8, 50, 20, 0.5, 0}});
    ASSERT_TRUE(opened) << opened.error().message();
    Collection& core = **opened;
    const auto odd = parse_where(json(R"({"odd":true})"));
    std::atomic<int> failures{0};
    auto check = [&](bool ok, const char* what) {
        if (!ok) {
            ++failures;
            ADD_FAILURE() << what;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                const std::vector<float> v{float(t), float(i), float(i % 5), 1};
                const char* meta = i % 2 ? R"({"odd":true})" : R"({"odd":false})";
                check(bool(insert_record(core, v, json(meta), id, i % 7 == 0 ? std::optional<std::uint64_t>(0)
                                                                          : std::nullopt)),
                      "add");
                switch ((t + i) % 8) {
                    case 0: check(bool(upsert_record(core, id, v, json("{}"), std::nullopt)), "upsert"); break;
                    case 1: check(bool(delete_record(core, id)), "delete"); break;
                    case 2: check(bool(fetch_record(core, id)), "get"); break;
                    case 3: check(bool(search_collection(core, v, 5, &odd)), "filtered search"); break;
                    case 4: {
                        BatchInput batch;
                        batch.rows = {v, v};
                        batch.metadata = {json("{}"), json("{}")};
                        check(bool(add_batch_records(core, std::move(batch))), "add_batch");
                        break;
                    }
                    case 5: check(bool(compact_collection(core)), "compact"); break;
                    case 6: check(bool(sync_collection(core)), "sync"); break;
                    case 7:
                        check(bool(export_collection(core, (dir / ("export" + std::to_string(t))).string())),
                              "export");
                        break;
                }
                check(bool(search_collection(core, v, 3, nullptr)), "search");
                check(bool(collection_len(core)), "len");
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(sync_collection(core));
    EXPECT_TRUE(search_collection(core, std::vector<float>{1, 1, 1, 1}, 10, nullptr));
}

}  // namespace
}  // namespace tessello
