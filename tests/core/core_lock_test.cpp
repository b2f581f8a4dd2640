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

void take(CoreLock lock, LockMode mode = LockMode::Exclusive) {
    note_lock_taken(lock, std::source_location::current(), mode);
}
void begin(TxnKind kind) {
    check_transaction_begin(std::source_location::current(), kind);
    note_transaction_begun(kind);
}

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
        {"transaction under the buffer",
         [] {
             take(CoreLock::Pending);
             check_transaction_begin(std::source_location::current());
         },
         "a meta_db transaction begun while pending_lock is held"},
        {"flush under another lock",
         [] {
             take(CoreLock::Pending);
             take(CoreLock::Flush);
         },
         "flush_lock taken while pending_lock is held"},
        {"flush inside a transaction",
         [] {
             begin(TxnKind::Write);
             take(CoreLock::Flush);
         },
         "flush_lock taken while a meta_db transaction is open"},
        {"index inside a transaction",
         [] {
             begin(TxnKind::Read);
             take(CoreLock::Index, LockMode::Shared);
         },
         "index_lock taken while a meta_db transaction is open"},
        {"index under visibility",
         [] {
             take(CoreLock::Visibility, LockMode::Shared);
             take(CoreLock::Index, LockMode::Shared);
         },
         "index_lock taken while visibility_lock is held"},
        {"visibility under the buffer",
         [] {
             take(CoreLock::Pending);
             take(CoreLock::Visibility, LockMode::Shared);
         },
         "visibility_lock taken while pending_lock is held"},
        {"visibility shared inside a transaction",
         [] {
             begin(TxnKind::Read);
             take(CoreLock::Visibility, LockMode::Shared);
         },
         "visibility_lock taken shared while a meta_db transaction is open"},
        {"visibility exclusively outside a write transaction",
         [] { take(CoreLock::Visibility, LockMode::Exclusive); },
         "visibility_lock taken exclusively outside a write transaction"},
        {"write transaction under visibility",
         [] {
             take(CoreLock::Visibility, LockMode::Shared);
             check_transaction_begin(std::source_location::current(), TxnKind::Write);
         },
         "a meta_db write transaction begun while visibility_lock is held"},
        {"transaction under the mirror",
         [] {
             take(CoreLock::Mirror, LockMode::Shared);
             check_transaction_begin(std::source_location::current());
         },
         "a meta_db transaction begun while mirror_lock is held"},
        {"mirror under the vector store",
         [] {
             take(CoreLock::VectorStore, LockMode::Shared);
             take(CoreLock::Mirror, LockMode::Shared);
         },
         "mirror_lock taken while vector_store_lock is held"},
        {"mirror under the buffer",
         [] {
             take(CoreLock::Pending);
             take(CoreLock::Mirror);
         },
         "mirror_lock taken while pending_lock is held"},
        {"visibility under the mirror",
         [] {
             take(CoreLock::Mirror, LockMode::Shared);
             take(CoreLock::Visibility, LockMode::Shared);
         },
         "visibility_lock taken while mirror_lock is held"},
        {"index under the mirror",
         [] {
             take(CoreLock::Mirror);
             take(CoreLock::Index, LockMode::Shared);
         },
         "index_lock taken while mirror_lock is held"},
        {"flush under the mirror",
         [] {
             take(CoreLock::Mirror);
             take(CoreLock::Flush);
         },
         "flush_lock taken while mirror_lock is held"},
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
    // A reader of table and buffer: index, visibility shared, its
    // transaction, the buffer; then the vector store with the transaction open.
    take(CoreLock::Flush);
    take(CoreLock::Index, LockMode::Shared);
    take(CoreLock::Visibility, LockMode::Shared);
    begin(TxnKind::Read);
    take(CoreLock::Pending);
    note_lock_released(CoreLock::Pending);
    note_lock_released(CoreLock::Visibility);
    take(CoreLock::VectorStore, LockMode::Shared);
    note_lock_released(CoreLock::VectorStore);
    note_transaction_ended(TxnKind::Read);
    note_lock_released(CoreLock::Index);
    // The flush: its write transaction, visibility exclusively inside it,
    // the buffer after the commit.
    begin(TxnKind::Write);
    take(CoreLock::FreeList, LockMode::Shared);
    note_lock_released(CoreLock::FreeList);
    take(CoreLock::Visibility, LockMode::Exclusive);
    note_transaction_ended(TxnKind::Write);
    take(CoreLock::Pending);
    note_lock_released(CoreLock::Pending);
    note_lock_released(CoreLock::Visibility);
    note_lock_released(CoreLock::Flush);
    // The search's mirror: index, its transaction, the mirror, then the
    // vector store inside it.
    take(CoreLock::Index, LockMode::Shared);
    begin(TxnKind::Read);
    take(CoreLock::Mirror, LockMode::Shared);
    take(CoreLock::VectorStore, LockMode::Shared);
    note_lock_released(CoreLock::VectorStore);
    note_lock_released(CoreLock::Mirror);
    note_transaction_ended(TxnKind::Read);
    note_lock_released(CoreLock::Index);
    // A flush hands the mirror its commit still under visibility; other
    // writers after their commit, holding nothing.
    take(CoreLock::Flush);
    begin(TxnKind::Write);
    take(CoreLock::Visibility, LockMode::Exclusive);
    note_transaction_ended(TxnKind::Write);
    take(CoreLock::Mirror);
    note_lock_released(CoreLock::Mirror);
    take(CoreLock::Pending);
    note_lock_released(CoreLock::Pending);
    note_lock_released(CoreLock::Visibility);
    note_lock_released(CoreLock::Flush);
    take(CoreLock::Mirror);
    note_lock_released(CoreLock::Mirror);
    // Once the transactions have ended, the index may be taken again.
    take(CoreLock::Index);
    note_lock_released(CoreLock::Index);
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
    EXPECT_DEATH(
        {
            auto txn = Access::read_txn(*core);
            auto view = Access::visibility_shared(*core);
        },
        "core_lock_test.cpp:[0-9]+.*visibility_lock taken shared while a meta_db transaction is open");
    EXPECT_DEATH(
        {
            auto txn = Access::read_txn(*core);
            auto flush = Access::flush_exclusive(*core);
        },
        "flush_lock taken while a meta_db transaction is open");
    EXPECT_DEATH(
        {
            auto mirror = Access::mirror_shared(*core);
            (void)Access::read_txn(*core);
        },
        "core_lock_test.cpp:[0-9]+.*a meta_db transaction begun while mirror_lock is held");
    // In the allowed order the same guards pass, and once they are gone the
    // thread holds nothing.
    {
        auto flush = Access::flush_exclusive(*core);
        auto index = Access::index_shared(*core);
        auto view = Access::visibility_shared(*core);
        auto txn = Access::read_txn(*core);
        ASSERT_TRUE(txn);
        auto pending = Access::pending_exclusive(*core);
    }
    {
        auto pending = Access::pending_exclusive(*core);
        auto free = Access::free_list_exclusive(*core);
    }
    {
        auto index = Access::index_shared(*core);
        auto txn = Access::read_txn(*core);
        ASSERT_TRUE(txn);
        auto mirror = Access::mirror_shared(*core);
        auto vectors = Access::vectors_shared(*core);
    }
    EXPECT_TRUE(Access::read_txn(*core));
}

}  // namespace
}  // namespace tessello
