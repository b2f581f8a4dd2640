// Many threads adding to and searching one collection at once: every add that
// returned must be stored after a sync, and searches must never fail.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "collection/fetch_record.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection_fixture.h"

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
                // A search may miss records that a concurrent flush has taken
                // out of the buffer but not yet committed; it must not fail.
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

}  // namespace
}  // namespace tessello
