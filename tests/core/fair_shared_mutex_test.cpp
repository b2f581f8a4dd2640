#include "base/fair_shared_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace tessello {
namespace {

// Readers that keep overlapping must not keep a writer out: once a writer
// waits, a new reader waits behind it.
TEST(FairSharedMutexTest, AWaitingWriterHoldsBackNewReaders) {
    FairSharedMutex m;
    m.lock_shared();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::unique_lock lock(m);
        written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(m.try_lock_shared());
    EXPECT_FALSE(written.load());
    m.unlock_shared();
    writer.join();
    EXPECT_TRUE(written.load());
    EXPECT_TRUE(m.try_lock_shared());
    m.unlock_shared();
}

TEST(FairSharedMutexTest, ReadersShareWritersExclude) {
    FairSharedMutex m;
    int value = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if ((i + t) % 4 == 0) {
                    std::unique_lock lock(m);
                    ++value;
                } else {
                    std::shared_lock lock(m);
                    EXPECT_GE(value, 0);
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(value, 8 * 500);
}

}  // namespace
}  // namespace tessello
