// A record whose add returned stays visible while a flush on another thread
// writes it: get finds it, delete removes it, and neither len() nor search
// ever sees one record twice, however the flush's commit falls between them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <set>
#include <thread>

#include "collection/fetch_record.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "collection_fixture.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class FlushVisibilityTest : public CollectionFixture {};

// Eight threads add their own identifiers and at once get or delete them,
// while one thread keeps flushing and another keeps counting and searching.
// Every identifier is added once, so a search that returns one twice has seen
// a record twice, and len() must lie between what had surely been added and
// not removed, and what had at most been.
TEST_F(FlushVisibilityTest, AcknowledgedAddsStayVisibleWhileOtherThreadsFlush) {
    constexpr int kThreads = 8;
    constexpr int kAdds = 400;
    auto core = open(4);
    std::atomic<std::uint64_t> started{0}, acked{0}, delete_started{0}, delete_done{0};
    std::atomic<int> get_misses{0}, delete_misses{0}, resurrected{0}, failures{0};
    std::atomic<int> len_out_of_bounds{0}, seen_twice{0}, checks{0};
    std::atomic<int> workers_left{kThreads};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kAdds; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                const std::vector<float> v{float(t), float(i), 1, 1};
                started.fetch_add(1);
                if (!insert_record(*core, v, JsonValue::object({}), id, std::nullopt)) {
                    ++failures;
                    continue;
                }
                acked.fetch_add(1);
                if (i % 2 == 0) {
                    auto hit = fetch_record(*core, id);
                    if (!hit) ++failures;
                    else if (!*hit) ++get_misses;
                    continue;
                }
                delete_started.fetch_add(1);
                auto removed = delete_record(*core, id);
                if (!removed) ++failures;
                else if (!*removed) ++delete_misses;
                else delete_done.fetch_add(1);
                auto after = fetch_record(*core, id);
                if (!after) ++failures;
                else if (*after) ++resurrected;
            }
            workers_left.fetch_sub(1);
        });
    std::thread flusher([&] {
        for (int round = 0; round < 100000 && workers_left.load() > 0; ++round)
            if (!sync_collection(*core)) ++failures;
    });
    std::thread checker([&] {
        const std::vector<float> q{0, 0, 1, 1};
        for (int round = 0; round < 100000 && workers_left.load() > 0; ++round) {
            const std::uint64_t surely_added = acked.load();
            const std::uint64_t surely_gone = delete_done.load();
            auto len = collection_len(*core);
            const std::uint64_t at_most_added = started.load();
            const std::uint64_t maybe_gone = delete_started.load();
            if (!len) {
                ++failures;
                continue;
            }
            if (*len + maybe_gone < surely_added || *len + surely_gone > at_most_added) ++len_out_of_bounds;
            auto hits = search_collection(*core, q, kThreads * kAdds, nullptr);
            if (!hits) {
                ++failures;
                continue;
            }
            std::set<std::string> ids;
            for (const SearchHit& h : *hits)
                if (!ids.insert(h.id).second) ++seen_twice;
            ++checks;
        }
    });
    for (auto& th : threads) th.join();
    flusher.join();
    checker.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(get_misses.load(), 0) << "adds whose get found nothing, of " << kThreads * kAdds / 2;
    EXPECT_EQ(delete_misses.load(), 0) << "deletes that found nothing, of " << kThreads * kAdds / 2;
    EXPECT_EQ(resurrected.load(), 0) << "deleted records found again";
    EXPECT_EQ(len_out_of_bounds.load(), 0) << "len() out of bounds, of " << checks.load() << " checks";
    EXPECT_EQ(seen_twice.load(), 0) << "identifiers a search returned twice, in " << checks.load() << " searches";
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(*collection_len(*core), std::uint64_t{kThreads} * kAdds / 2);
    EXPECT_EQ(stored_count(*core), std::size_t{kThreads} * kAdds / 2);
}

// A search held up after it has begun (here behind a holder of the index
// lock) while a flush commits a buffered record finds that record once. How
// long the search waits is the holder's business: whatever point it has
// reached when the flush runs, the answer must be the same.
TEST_F(FlushVisibilityTest, ASearchHeldUpWhileAFlushCommitsSeesTheRecordOnce) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "x");
    std::latch held(1), release(1);
    std::thread holder([&] {
        auto index = Access::index_exclusive(*core);
        held.count_down();
        release.wait();
    });
    held.wait();
    Result<std::vector<SearchHit>> hits = std::vector<SearchHit>{};
    std::thread searcher([&] { hits = search_collection(*core, std::vector<float>{1, 1}, 10, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Status flushed = flush_pending(*core);
    release.count_down();
    holder.join();
    searcher.join();
    ASSERT_TRUE(flushed) << flushed.error().message();
    ASSERT_TRUE(hits) << hits.error().message();
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].id, "x");
    EXPECT_EQ(*collection_len(*core), 1u);
}

}  // namespace
}  // namespace tessello
