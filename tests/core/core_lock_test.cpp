// The lock order of a collection core: each rule, broken, stops the process
// with a message naming what was taken where; the orders the rules allow pass.
#include "collection/core_lock.h"

#include <gtest/gtest.h>

#include <functional>
#include <source_location>

#include "collection_fixture.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

void take(CoreLock lock) { note_lock_taken(lock, std::source_location::current()); }

struct BrokenOrder {
    const char* name;
    std::function<void()> steps;
    const char* message;  // a regular expression over stderr
};

TEST(CoreLockDeathTest, EachBrokenRuleAbortsWithWhatWasTakenWhere) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const BrokenOrder cases[] = {
        {"transaction under the vector store",
         [] {
             take(CoreLock::VectorStore);
             check_transaction_begin(std::source_location::current());
         },
         "core_lock_test.cpp:[0-9]+.*a meta_db transaction begun while vector_store_lock is held"},
        {"transaction under the free list",
         [] {
             take(CoreLock::FreeList);
             check_transaction_begin(std::source_location::current());
         },
         "a meta_db transaction begun while free_list_lock is held"},
        {"free list under the vector store",
         [] {
             take(CoreLock::VectorStore);
             take(CoreLock::FreeList);
         },
         "free_list_lock taken while vector_store_lock is held"},
        {"vector store under the free list",
         [] {
             take(CoreLock::FreeList);
             take(CoreLock::VectorStore);
         },
         "vector_store_lock taken while free_list_lock is held"},
        {"index under the vector store",
         [] {
             take(CoreLock::VectorStore);
             take(CoreLock::Index);
         },
         "index_lock taken while vector_store_lock is held"},
        {"buffer under the free list",
         [] {
             take(CoreLock::FreeList);
             take(CoreLock::Pending);
         },
         "pending_lock taken while free_list_lock is held"},
        {"one lock twice",
         [] {
             take(CoreLock::Index);
             take(CoreLock::Index);
         },
         "index_lock taken again by the thread that holds it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.steps(), c.message);
    }
}

TEST(CoreLockTest, TheOrdersTheRulesAllowPassAndReleasesAreForgotten) {
    // index, then a transaction, then the vector store: the search's order.
    take(CoreLock::Index);
    check_transaction_begin(std::source_location::current());
    take(CoreLock::VectorStore);
    note_lock_released(CoreLock::VectorStore);
    note_lock_released(CoreLock::Index);
    // buffer, then free list: a buffered entry's slot given back.
    take(CoreLock::Pending);
    take(CoreLock::FreeList);
    note_lock_released(CoreLock::FreeList);
    note_lock_released(CoreLock::Pending);
    // one after the other, never together.
    take(CoreLock::FreeList);
    note_lock_released(CoreLock::FreeList);
    take(CoreLock::VectorStore);
    note_lock_released(CoreLock::VectorStore);
    check_transaction_begin(std::source_location::current());
    SUCCEED();
}

// The core's own guards run the same checks, naming the caller's line.
class CoreGuardDeathTest : public CollectionFixture {};

TEST_F(CoreGuardDeathTest, GuardsOfACoreCheckTheOrder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto core = open();
    using Access = CollectionTestAccess;
    EXPECT_DEATH(
        {
            auto vectors = Access::vectors_shared(*core);
            (void)Access::read_txn(*core);
        },
        "core_lock_test.cpp:[0-9]+.*a meta_db transaction begun while vector_store_lock is held");
    EXPECT_DEATH(
        {
            auto free = Access::free_list_exclusive(*core);
            auto pending = Access::pending_exclusive(*core);
        },
        "pending_lock taken while free_list_lock is held");
    EXPECT_DEATH(
        {
            auto vectors = Access::vectors_shared(*core);
            auto index = Access::index_shared(*core);
        },
        "index_lock taken while vector_store_lock is held");
    // In the allowed order the same guards pass, and once they are gone the
    // thread holds nothing.
    {
        auto pending = Access::pending_exclusive(*core);
        auto free = Access::free_list_exclusive(*core);
    }
    {
        auto index = Access::index_shared(*core);
        auto txn = Access::read_txn(*core);
        ASSERT_TRUE(txn);
        auto vectors = Access::vectors_shared(*core);
    }
    EXPECT_TRUE(Access::read_txn(*core));
}

}  // namespace
}  // namespace tessello
