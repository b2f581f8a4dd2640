#include "collection/upsert_delete.h"

#include <gtest/gtest.h>

#include <cmath>

#include "collection/fetch_record.h"
#include "collection/sync.h"
#include "collection_fixture.h"
#include "base/fault_injection.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class UpsertDeleteTest : public CollectionFixture {
protected:
    void TearDown() override {
#ifdef TESSELLO_FAULT_INJECTION
        disarm_faults();
#endif
    }
    static bool del(Collection& c, std::string_view id) {
        auto r = delete_record(c, id);
        EXPECT_TRUE(r) << (r ? "" : r.error().message());
        return r && *r;
    }
    static void upsert(Collection& c, std::string_view id, std::vector<float> v, std::string_view meta = "{}") {
        auto st = upsert_record(c, id, v, json(meta), std::nullopt);
        ASSERT_TRUE(st) << st.error().message();
    }
    static std::vector<std::string> buffered_ids(Collection& c) {
        std::vector<std::string> out;
        for (const auto& e : Access::pending(c)) out.push_back(e.record.id + ":" + e.record.metadata);
        return out;
    }
};

TEST_F(UpsertDeleteTest, DeletingABufferedEntryFreesItsSlotUnmarked) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {5, 6}, "a");
    EXPECT_TRUE(del(*core, "a"));
    EXPECT_EQ(buffered(*core), 0u);
    EXPECT_EQ(Access::free_slots(*core), std::vector<std::uint64_t>{0});
    EXPECT_FALSE(is_deleted_mark(*Access::read_slot(*core, 0)));
    add(*core, {7, 8}, "b");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored(*core, "b")->slot, 0u);
}

TEST_F(UpsertDeleteTest, BufferedDuplicatesGoOneAtATimeThenTheStoredRecord) {
    auto core = open();
    add(*core, {1, 1}, "d", R"({"v":"stored"})");
    ASSERT_TRUE(sync_collection(*core));
    hold_buffer(*core);
    add(*core, {1, 1}, "d", R"({"v":1})");
    add(*core, {1, 1}, "d", R"({"v":2})");
    EXPECT_TRUE(del(*core, "d"));
    EXPECT_EQ(buffered_ids(*core), std::vector<std::string>{R"(d:{"v":2})"});
    EXPECT_TRUE(del(*core, "d"));
    EXPECT_TRUE(stored(*core, "d"));  // untouched while buffered entries existed
    EXPECT_TRUE(del(*core, "d"));
    EXPECT_FALSE(stored(*core, "d"));
    EXPECT_FALSE(del(*core, "d"));
}

TEST_F(UpsertDeleteTest, DeletingAStoredRecordMarksAndFreesItsSlot) {
    auto core = open();
    add(*core, {1, 2}, "keep");
    add(*core, {3, 4}, "gone", "{}", 0);  // expired records are deleted too
    ASSERT_TRUE(sync_collection(*core));
    const auto slot = stored(*core, "gone")->slot;
    EXPECT_TRUE(del(*core, "gone"));
    EXPECT_FALSE(stored(*core, "gone"));
    EXPECT_TRUE(is_deleted_mark(*Access::read_slot(*core, slot)));
    EXPECT_EQ(Access::free_slots(*core), std::vector<std::uint64_t>{slot});
    // The free list reached the store with the first transaction.
    auto txn = begin_read_txn(Access::meta_db(*core));
    EXPECT_EQ(load_freelist(*txn)->entries(), std::vector<std::uint64_t>{slot});
    EXPECT_EQ(*collection_len(*core), 1u);
}

TEST_F(UpsertDeleteTest, PendingRecordsAreDeletedLikeOthers) {
    auto core = open();
    add(*core, {1, 2}, "p");
    ASSERT_TRUE(sync_collection(*core));
    auto r = *stored(*core, "p");
    r.state = RecordState::Pending;
    put_raw(*core, r);
    EXPECT_TRUE(del(*core, "p"));
    EXPECT_FALSE(stored(*core, "p"));
}

#ifdef TESSELLO_FAULT_INJECTION
TEST_F(UpsertDeleteTest, AbsentIdentifierStartsNoWriteTransaction) {
    auto core = open();
    arm_fault(FaultPoint::Commit);
    EXPECT_FALSE(del(*core, "nothing"));
    EXPECT_TRUE(take_fault(FaultPoint::Commit));  // still armed: nothing committed
}

TEST_F(UpsertDeleteTest, FailedTombstoneTakesTheMarkBackAndKeepsTheSlot) {
    auto core = open();
    add(*core, {1, 2}, "a");
    ASSERT_TRUE(sync_collection(*core));
    const auto slot = stored(*core, "a")->slot;
    arm_fault(FaultPoint::Commit);
    auto r = delete_record(*core, "a");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), StoreError::Transaction);
    EXPECT_EQ(stored(*core, "a")->state, RecordState::Active);
    EXPECT_FALSE(is_deleted_mark(*Access::read_slot(*core, slot)));
    EXPECT_TRUE(Access::free_slots(*core).empty());
    ASSERT_TRUE(fetch_record(*core, "a").value());
    // A new record gets a slot of its own.
    add(*core, {5, 5}, "b");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_NE(stored(*core, "b")->slot, slot);
}

TEST_F(UpsertDeleteTest, TombstoneLeftBehindGivesItsSlotBackOnlyOnce) {
    auto core = open();
    add(*core, {1, 2}, "t");
    ASSERT_TRUE(sync_collection(*core));
    const auto slot = stored(*core, "t")->slot;
    arm_fault(FaultPoint::Commit, 1);  // the second transaction fails
    ASSERT_FALSE(delete_record(*core, "t"));
    EXPECT_EQ(stored(*core, "t")->state, RecordState::Tombstone);
    EXPECT_EQ(Access::free_slots(*core), std::vector<std::uint64_t>{slot});
    EXPECT_FALSE(fetch_record(*core, "t").value());

    // The slot goes to a new record; removing the tombstone must not touch it.
    add(*core, {9, 9}, "new");
    ASSERT_TRUE(sync_collection(*core));
    ASSERT_EQ(stored(*core, "new")->slot, slot);
    EXPECT_TRUE(del(*core, "t"));
    EXPECT_FALSE(stored(*core, "t"));
    EXPECT_TRUE(Access::free_slots(*core).empty());
    EXPECT_EQ((*Access::read_slot(*core, slot))[0], 9.0f);
    ASSERT_TRUE(fetch_record(*core, "new").value());
}
#endif

TEST_F(UpsertDeleteTest, UpsertReplacesStoredAndBufferedRecords) {
    auto core = open();
    add(*core, {1, 1}, "s", R"({"v":"old"})");
    ASSERT_TRUE(sync_collection(*core));
    const auto old_slot = stored(*core, "s")->slot;
    hold_buffer(*core);
    upsert(*core, "s", {2, 2}, R"({"v":"new"})");
    EXPECT_FALSE(stored(*core, "s"));
    EXPECT_EQ(*collection_len(*core), 1u);
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored(*core, "s")->metadata, R"({"v":"new"})");
    EXPECT_EQ(stored(*core, "s")->slot, old_slot);  // the freed slot is the next one handed out

    hold_buffer(*core);
    add(*core, {1, 1}, "b", R"({"n":1})");
    add(*core, {1, 1}, "b", R"({"n":2})");
    upsert(*core, "b", {3, 3}, R"({"n":3})");
    EXPECT_EQ(buffered_ids(*core), (std::vector<std::string>{R"(b:{"n":2})", R"(b:{"n":3})"}));
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored(*core, "b")->metadata, R"({"n":3})");
}

TEST_F(UpsertDeleteTest, RefusedUpsertRemovesNothing) {
    auto core = open(3);
    hold_buffer(*core);
    add(*core, {1, 1, 1}, "x");
    auto st = upsert_record(*core, "x", std::vector<float>{1, 2}, JsonValue::object({}), std::nullopt);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message(), "Dimension mismatch: expected 3, got 2");
    auto bad_id = upsert_record(*core, "", std::vector<float>{1, 2, 3}, JsonValue::object({}), std::nullopt);
    ASSERT_FALSE(bad_id);
    EXPECT_EQ(bad_id.error().kind(), StoreError::InvalidInput);
    EXPECT_EQ(buffered(*core), 1u);
}

TEST_F(UpsertDeleteTest, StoredSlotBeyondTheFileIsReportedAndNothingChanges) {
    auto core = open();
    put_raw(*core, Record{"far", 40, "{}", 0, std::nullopt, RecordState::Active});
    auto r = delete_record(*core, "far");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Record not found: Slot 40 not allocated");
    EXPECT_TRUE(stored(*core, "far"));
    EXPECT_TRUE(Access::free_slots(*core).empty());
}

TEST_F(UpsertDeleteTest, HnswConfigurationMarksTheIndexDirty) {
    auto core = *open_collection(dir / "h", CollectionConfig{"h", 2, Metric::L2, 0, HnswConfig{16, 32, 16, 100, 50, 0.5, 0}});
    add(*core, {1, 1}, "a");
    ASSERT_TRUE(sync_collection(*core));
    Access::index_dirty(*core).store(false);
    EXPECT_TRUE(del(*core, "a"));
    EXPECT_TRUE(Access::index_dirty(*core).load());
}

}  // namespace
}  // namespace tessello
