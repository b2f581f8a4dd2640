// The process-wide list of open cores that the exit hook flushes.
#include "database/live_cores.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "collection/fetch_record.h"
#include "collection/sync.h"
#include "collection_fixture.h"
#include "database/database.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

TEST(LiveCoresTest, FlushWhileThreadsAddLosesAndDoublesNothing) {
    TempDir tmp;
    auto db = Database::open((tmp / "db").string());
    ASSERT_TRUE(db);
    std::vector<CollectionHandle> cores;
    for (const char* name : {"a", "b"}) {
        auto core = (*db)->collection(name, 2, Metric::L2);
        ASSERT_TRUE(core);
        cores.push_back(*core);
    }
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    std::atomic<bool> adding{true};
    std::atomic<int> flushes{0};
    std::thread flusher([&] {
        while (adding.load()) {
            flush_live_cores();
            flushes.fetch_add(1);
        }
    });
    std::vector<std::thread> adders;
    for (int t = 0; t < kThreads; ++t)
        adders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Collection& core = *cores[(t + i) % 2];
                auto added = insert_record(core, std::vector<float>{float(t), float(i)}, *parse_json("{}"),
                                           std::to_string(t) + "-" + std::to_string(i), std::nullopt);
                ASSERT_TRUE(added) << added.error().message();
            }
        });
    for (auto& a : adders) a.join();
    adding.store(false);
    flusher.join();
    EXPECT_GT(flushes.load(), 0);

    // What an exit does with cores still held: one more flush, and every
    // record is in its table, each once.
    flush_live_cores();
    std::uint64_t total = 0;
    for (auto& core : cores) {
        EXPECT_TRUE(CollectionTestAccess::pending(*core).empty());
        total += collection_len(*core).value();
    }
    EXPECT_EQ(total, std::uint64_t(kThreads * kPerThread));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            EXPECT_TRUE(fetch_record(*cores[(t + i) % 2], std::to_string(t) + "-" + std::to_string(i)).value());
}

TEST(LiveCoresTest, TheListKeepsNoCoreAlive) {
    TempDir tmp;
    std::weak_ptr<Collection> watched;
    {
        auto db = Database::open((tmp / "db").string());
        ASSERT_TRUE(db);
        auto core = (*db)->collection("c", 2, Metric::L2);
        ASSERT_TRUE(core);
        watched = *core;
    }
    EXPECT_TRUE(watched.expired());
    flush_live_cores();  // nothing left to flush, and nothing to trip over
    auto db = Database::open((tmp / "db").string());
    ASSERT_TRUE(db);
    EXPECT_TRUE((*db)->collection("c", 2, Metric::L2));
}

}  // namespace
}  // namespace tessello
