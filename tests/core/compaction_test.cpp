#include "collection/compaction.h"

#include <gtest/gtest.h>

#include <cmath>

#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "collection_fixture.h"
#include "base/fault_injection.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class CompactionTest : public CollectionFixture {
protected:
    void TearDown() override {
#ifdef TESSELLO_FAULT_INJECTION
        disarm_faults();
#endif
    }
    static CompactStats compact(Collection& c) {
        auto r = compact_collection(c);
        EXPECT_TRUE(r) << (r ? "" : r.error().message());
        return r ? *r : CompactStats{};
    }
    // A stored record written straight into the table.
    static void put(Collection& c, std::string id, std::uint64_t slot, RecordState state,
                    std::optional<std::uint64_t> expires = std::nullopt) {
        put_raw(c, Record{std::move(id), slot, "{}", 0, expires, state});
    }
};

TEST_F(CompactionTest, NothingStoredYet) {
    auto core = open();
    add(*core, {1, 1}, "buffered", "{}", 0);  // expired, but only buffered
    auto stats = compact(*core);
    EXPECT_EQ(stats.expired_removed + stats.tombstones_removed + stats.bytes_freed, 0u);
    EXPECT_EQ(buffered(*core), 1u);
}

TEST_F(CompactionTest, RemovesExpiredAndTombstonesAndCountsEachOnce) {
    auto core = open(4);
    hold_buffer(*core);
    for (const char* id : {"a", "b", "c", "d", "e", "f"}) add(*core, {1, 1, 1, 1}, id);
    ASSERT_TRUE(sync_collection(*core));
    const std::uint64_t now = now_unix_secs();
    put(*core, "a", 0, RecordState::Active, now);          // expires this second
    put(*core, "b", 1, RecordState::Tombstone, now - 5);   // expired tombstone: counted as expired
    put(*core, "c", 2, RecordState::Pending, 1);           // expired pending
    put(*core, "d", 3, RecordState::Pending);              // stays
    put(*core, "e", 4, RecordState::Active, now + 100);    // stays
    auto stats = compact(*core);
    EXPECT_EQ(stats.expired_removed, 3u);
    EXPECT_EQ(stats.tombstones_removed, 0u);
    // The tombstone's slot was given back when it became one; only a and c free theirs.
    EXPECT_EQ(stats.bytes_freed, 2u * 16);
    EXPECT_EQ(stored_count(*core), 3u);  // d, e, f
    EXPECT_TRUE(is_deleted_mark(*Access::read_slot(*core, 0)));
    EXPECT_FALSE(is_deleted_mark(*Access::read_slot(*core, 1)));
    // Key order: the last removed (c) is the first reused.
    EXPECT_EQ(Access::free_slots(*core), (std::vector<std::uint64_t>{0, 2}));
    {
        auto txn = begin_read_txn(Access::meta_db(*core));
        EXPECT_EQ(load_freelist(*txn)->entries(), (std::vector<std::uint64_t>{0, 2}));  // as stored
    }
    auto again = compact(*core);
    EXPECT_EQ(again.expired_removed + again.tombstones_removed + again.bytes_freed, 0u);
}

TEST_F(CompactionTest, NanVectorsAndSlotsBeyondTheFile) {
    auto core = open();
    add(*core, {NAN, 1}, "nan", "{}", 0);
    ASSERT_TRUE(sync_collection(*core));
    put(*core, "beyond", 77, RecordState::Active, 1);
    auto stats = compact(*core);
    EXPECT_EQ(stats.expired_removed, 2u);
    EXPECT_EQ(stats.bytes_freed, 0u);
    // A slot the file does not have is never handed out.
    EXPECT_EQ(Access::free_slots(*core), std::vector<std::uint64_t>{0});
    EXPECT_EQ(stored_count(*core), 0u);
}

#ifdef TESSELLO_FAULT_INJECTION
TEST_F(CompactionTest, TombstoneOfAFailedDeleteLeavesTheReusedSlotAlone) {
    auto core = open();
    add(*core, {1, 1}, "t");
    ASSERT_TRUE(sync_collection(*core));
    arm_fault(FaultPoint::Commit, 1);
    ASSERT_FALSE(delete_record(*core, "t"));  // leaves a Tombstone, slot 0 free
    add(*core, {5, 5}, "new");                 // takes slot 0
    ASSERT_TRUE(sync_collection(*core));
    auto stats = compact(*core);
    EXPECT_EQ(stats.tombstones_removed, 1u);
    EXPECT_EQ(stats.bytes_freed, 0u);
    EXPECT_TRUE(Access::free_slots(*core).empty());
    EXPECT_EQ((*Access::read_slot(*core, 0))[0], 5.0f);
}

TEST_F(CompactionTest, FailedRemovalTakesTheMarkBackAndKeepsTheSlot) {
    auto core = open();
    add(*core, {3, 3}, "x", "{}", 0);
    ASSERT_TRUE(sync_collection(*core));
    arm_fault(FaultPoint::Commit);
    auto r = compact_collection(*core);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), StoreError::Transaction);
    EXPECT_TRUE(stored(*core, "x"));
    EXPECT_FALSE(is_deleted_mark(*Access::read_slot(*core, 0)));
    EXPECT_TRUE(Access::free_slots(*core).empty());
    EXPECT_EQ(compact(*core).expired_removed, 1u);
}
#endif

}  // namespace
}  // namespace tessello
