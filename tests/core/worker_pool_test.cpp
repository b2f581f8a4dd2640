#include "base/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "base/pool_size.h"

namespace tessello {
namespace {

// ---- Pool size ---------------------------------------------------------------

TEST(PoolSizeTest, EnvironmentThenAffinityAndQuota) {
    struct Case {
        const char* name;
        PoolSizeInputs in;
        std::size_t want;
    };
    using S = std::optional<std::string_view>;
    const S none = std::nullopt;
    const Case cases[] = {
        {"affinity alone", {none, none, 6, none, none, none}, 6},
        {"threads variable wins", {S("3"), S("5"), 6, S("100000 100000"), none, none}, 3},
        {"threads variable may exceed the CPUs", {S("64"), none, 2, none, none, none}, 64},
        {"cpus variable next", {none, S("5"), 6, S("100000 100000"), none, none}, 5},
        {"zero falls through", {S("0"), S("5"), 6, none, none, none}, 5},
        {"junk falls through", {S("4x"), S(" 2"), 6, none, none, none}, 6},
        {"sign and empty fall through", {S("-3"), S(""), 6, none, none, none}, 6},
        {"beyond 64 bits falls through", {S("99999999999999999999"), none, 6, none, none, none}, 6},
        {"huge count is clamped", {S("1000000"), none, 6, none, none, none}, kMaxPoolThreads},
        {"v2 quota rounds up", {none, none, 8, S("250000 100000\n"), none, none}, 3},
        {"v2 exact quota", {none, none, 8, S("200000 100000"), none, none}, 2},
        {"v2 tiny quota is one cpu", {none, none, 8, S("1000 100000"), none, none}, 1},
        {"v2 quota above affinity", {none, none, 4, S("800000 100000"), none, none}, 4},
        {"v2 max is no limit", {none, none, 8, S("max 100000\n"), S("100000"), S("100000")}, 8},
        {"v2 malformed is no limit", {none, none, 8, S("lots"), none, none}, 8},
        {"v2 zero period is no limit", {none, none, 8, S("100000 0"), none, none}, 8},
        {"v1 quota", {none, none, 8, none, S("150000\n"), S("100000\n")}, 2},
        {"v1 minus one is no limit", {none, none, 8, none, S("-1\n"), S("100000\n")}, 8},
        {"v1 without period is no limit", {none, none, 8, none, S("150000"), none}, 8},
        {"unknown affinity counts one", {none, none, 0, none, none, none}, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(pool_size_for(c.in), c.want) << c.name;
}

TEST(PoolSizeTest, ProcessSizeIsPositiveAndGlobalPoolUsesIt) {
    const std::size_t size = process_pool_size();
    EXPECT_GE(size, 1u);
    EXPECT_EQ(WorkerPool::global().threads(), size);
    EXPECT_EQ(&WorkerPool::global(), &WorkerPool::global());
}

// ---- Ordered collection -------------------------------------------------------

// Scores drawn from a handful of values (ties everywhere), with every seventh
// item and a run in the middle skipped. Pure in i, so safe to call concurrently.
std::optional<float> tie_heavy_score(std::uint64_t i) {
    if (i % 7 == 3 || (i >= 4000 && i < 4100)) return std::nullopt;
    return static_cast<float>((i * 2654435761u) % 5) * 0.5f;
}

constexpr std::uint64_t kItems = 10'000;

class WorkerPoolTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolTest, CollectInOrderEqualsTheSequentialLoop) {
    WorkerPool pool(GetParam());
    EXPECT_EQ(pool.threads(), GetParam());
    const std::vector<ScoredIndex> sequential = collect_in_order_sequential(kItems, tie_heavy_score);
    ASSERT_FALSE(sequential.empty());
    for (int rep = 0; rep < 20; ++rep) {
        ASSERT_EQ(pool.collect_in_order(kItems, tie_heavy_score), sequential) << "rep " << rep;
    }
    for (std::uint64_t n : {0u, 1u, 2u, 499u, 500u, 501u}) {
        EXPECT_EQ(pool.collect_in_order(n, tie_heavy_score), collect_in_order_sequential(n, tie_heavy_score))
            << "n=" << n;
    }
    const auto skip_all = [](std::uint64_t) -> std::optional<float> { return std::nullopt; };
    EXPECT_TRUE(pool.collect_in_order(kItems, skip_all).empty());
}

TEST_P(WorkerPoolTest, ManyCallersAtOnce) {
    WorkerPool pool(GetParam());
    const std::vector<ScoredIndex> sequential = collect_in_order_sequential(kItems, tie_heavy_score);
    constexpr int kCallers = 6;
    std::vector<int> matches(kCallers, 0);
    {
        std::vector<std::jthread> callers;
        for (int c = 0; c < kCallers; ++c) {
            callers.emplace_back([&, c] {
                for (int rep = 0; rep < 10; ++rep) {
                    matches[c] += pool.collect_in_order(kItems, tie_heavy_score) == sequential;
                }
            });
        }
    }
    for (int c = 0; c < kCallers; ++c) EXPECT_EQ(matches[c], 10) << "caller " << c;
}

TEST_P(WorkerPoolTest, ParallelForVisitsEveryItemOnce) {
    WorkerPool pool(GetParam());
    std::vector<std::atomic<int>> visits(kItems);
    pool.parallel_for(kItems, [&](std::uint64_t i) { visits[i].fetch_add(1, std::memory_order_relaxed); });
    for (std::uint64_t i = 0; i < kItems; ++i) ASSERT_EQ(visits[i].load(), 1) << "item " << i;
    pool.parallel_for(0, [&](std::uint64_t) { ADD_FAILURE() << "called for no items"; });
}

TEST_P(WorkerPoolTest, WorkCanNestInsideThePool) {
    WorkerPool pool(GetParam());
    const std::vector<ScoredIndex> sequential = collect_in_order_sequential(1000, tie_heavy_score);
    std::vector<int> ok(16, 0);
    pool.parallel_for(ok.size(), [&](std::uint64_t i) {
        ok[i] = pool.collect_in_order(1000, tie_heavy_score) == sequential;
    });
    for (std::size_t i = 0; i < ok.size(); ++i) EXPECT_EQ(ok[i], 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkerPoolTest, ::testing::Values(std::size_t{1}, std::size_t{8}),
                         [](const auto& info) { return "Threads" + std::to_string(info.param); });

TEST(WorkerPoolGlobalTest, GlobalPoolCollectsInOrder) {
    EXPECT_EQ(WorkerPool::global().collect_in_order(kItems, tie_heavy_score),
              collect_in_order_sequential(kItems, tie_heavy_score));
}

}  // namespace
}  // namespace tessello
