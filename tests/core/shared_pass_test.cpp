#include "base/shared_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessello {
namespace {

struct Item {
    int input = 0;
    int output = -1;
    int served = 0;
};

// Many callers at once: every item is served exactly once, by a pass that
// overlaps no other, and callers that came while a pass ran shared the next.
TEST(SharedPassTest, EveryCallerIsServedOnceAndPassesNeverOverlap) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 300;
    SharedPass<Item> passes;
    std::atomic<int> inside{0}, passes_run{0}, items_seen{0};
    std::atomic<bool> overlap{false};
    auto pass = [&](std::span<Item* const> batch) {
        if (inside.fetch_add(1) != 0) overlap = true;
        for (Item* item : batch) {
            item->output = item->input * 2;
            ++item->served;
        }
        items_seen += static_cast<int>(batch.size());
        ++passes_run;
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // others arrive meanwhile
        inside.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                Item item{t * kCalls + i};
                passes.serve(item, pass);
                if (item.output != item.input * 2 || item.served != 1) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(items_seen.load(), kThreads * kCalls);
    EXPECT_LT(passes_run.load(), kThreads * kCalls) << "no pass served more than one caller";
}

// After a pass that served many, the next runner waits for company only for
// a bounded time: a caller left alone still gets through, pass after pass.
TEST(SharedPassTest, ACallerLeftAloneAfterABusyPassIsNotHeldUp) {
    constexpr int kThreads = 8;
    SharedPass<Item> passes;
    std::atomic<int> biggest{0};
    auto pass = [&](std::span<Item* const> batch) {
        biggest = std::max<int>(biggest, static_cast<int>(batch.size()));
        for (Item* item : batch) item->output = item->input;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                Item item{i};
                passes.serve(item, pass);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_GT(biggest.load(), 1);
    for (int i = 0; i < 50; ++i) {
        Item item{i};
        passes.serve(item, pass);
        EXPECT_EQ(item.output, i);
    }
}

// A lone caller runs its own pass at once, on its own thread; a pass that
// throws leaves the queue usable, and the caller sees the exception.
TEST(SharedPassTest, ALoneCallerRunsItsOwnPassAndAThrowingPassLeavesTheQueueUsable) {
    SharedPass<Item> passes;
    Item item{21};
    std::thread::id ran_on;
    passes.serve(item, [&](std::span<Item* const> batch) {
        ASSERT_EQ(batch.size(), 1u);
        ran_on = std::this_thread::get_id();
        batch[0]->output = 42;
    });
    EXPECT_EQ(item.output, 42);
    EXPECT_EQ(ran_on, std::this_thread::get_id());

    EXPECT_THROW(passes.serve(item, [](std::span<Item* const>) { throw std::runtime_error("boom"); }),
                 std::runtime_error);
    Item next{1};
    passes.serve(next, [](std::span<Item* const> batch) { batch[0]->output = 7; });
    EXPECT_EQ(next.output, 7);
}

// Work a pass shares is taken up by the callers waiting on it, each at most
// once per share, and never after unshare has returned; the passes' own
// results are unaffected.
TEST(SharedPassTest, SharedWorkRunsOnWaitingCallersOnlyWhileShared) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 150;
    SharedPass<Item> passes;
    std::mutex mu;
    std::set<std::pair<int, std::thread::id>> calls;  // (share, thread) seen
    int share = 0;
    std::atomic<int> twice{0}, late{0}, helped{0}, wrong{0};
    auto pass = [&](std::span<Item* const> batch) {
        const std::thread::id runner = std::this_thread::get_id();
        bool unshared = false;  // this pass's unshare has returned
        std::atomic<int> inside{0};
        const std::function<void()> work = [&] {
            ++inside;
            {
                std::lock_guard lock(mu);
                if (unshared) ++late;
                if (!calls.emplace(share, std::this_thread::get_id()).second) ++twice;
                if (std::this_thread::get_id() != runner) ++helped;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            --inside;
        };
        {
            std::lock_guard lock(mu);
            ++share;
        }
        passes.share(work);
        work();
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // others may join meanwhile
        passes.unshare();
        {
            std::lock_guard lock(mu);
            unshared = true;
        }
        if (inside.load() != 0) ++late;
        std::this_thread::sleep_for(std::chrono::microseconds(20));  // room for a call that should not come
        for (Item* item : batch) item->output = item->input + 1;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                Item item{t * kCalls + i};
                passes.serve(item, pass);
                if (item.output != item.input + 1) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(twice.load(), 0);
    EXPECT_EQ(late.load(), 0);
    EXPECT_GT(helped.load(), 0) << "no waiting caller ever took up shared work";
}

}  // namespace
}  // namespace tessello
