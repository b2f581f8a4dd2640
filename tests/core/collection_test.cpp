#include <gtest/gtest.h>

#include <fstream>

#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "collection_fixture.h"
#include "base/fault_injection.h"
#include "fault_sweep.h"
#include "storage/freelist.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class CollectionTest : public CollectionFixture {};

TEST_F(CollectionTest, OpeningCreatesDirectoryVectorFileAndEmptyStore) {
    auto path = dir / "a" / "b" / "c";
    auto core = open_collection(path, CollectionConfig{"c", 3, Metric::Cosine, 0, std::nullopt});
    ASSERT_TRUE(core) << core.error().message();
    EXPECT_EQ(std::filesystem::file_size(path / "vectors.bin"), 64u + 4096u * 3);
    EXPECT_TRUE(std::filesystem::exists(path / "meta.redb"));
    EXPECT_EQ(stored_count(**core), 0u);
    EXPECT_FALSE(Access::index(**core));
    EXPECT_FALSE(Access::index_dirty(**core).load());
    EXPECT_EQ(Access::batch_size(**core), 100u);
    EXPECT_EQ(Access::flush_interval_ms(**core), 100u);
}

TEST_F(CollectionTest, ReopeningWithOtherDimensionsFailsAndChangesNothing) {
    open(4).reset();
    const auto size = std::filesystem::file_size(dir / "c" / "vectors.bin");
    auto again = open_collection(dir / "c", CollectionConfig{"c", 8, Metric::L2, 0, std::nullopt});
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "Dimension mismatch: expected 8, got 4");
    EXPECT_EQ(std::filesystem::file_size(dir / "c" / "vectors.bin"), size);
}

TEST_F(CollectionTest, SecondOpenWhileFirstLivesIsRefused) {
    auto first = open();
    auto second = open_collection(dir / "c", CollectionConfig{"c", 2, Metric::L2, 0, std::nullopt});
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message(), "Database error: Database already open. Cannot acquire lock.");
}

TEST_F(CollectionTest, NoIndexWithoutHnswParametersEvenWithAnIndexFile) {
    std::filesystem::create_directories(dir / "c");
    std::ofstream(dir / "c" / "hnsw.index") << "junk";
    auto core = open();
    EXPECT_FALSE(Access::index(*core));
    EXPECT_FALSE(Access::index_dirty(*core).load());
}

TEST_F(CollectionTest, ReleasingTheLastHandleKeepsBufferedRecords) {
    {
        auto core = open();
        hold_buffer(*core);
        for (int i = 0; i < 5; ++i) add(*core, {float(i), 1}, "r" + std::to_string(i));
        EXPECT_EQ(buffered(*core), 5u);
        EXPECT_EQ(stored_count(*core), 0u);
    }
    auto core = open();
    EXPECT_EQ(stored_count(*core), 5u);
    EXPECT_EQ(Access::slot_count(*core), 5u);
    EXPECT_EQ(*collection_len(*core), 5u);
}

TEST_F(CollectionTest, WrongLengthChangesNothing) {
    auto core = open(4);
    auto r = insert_record(*core, std::vector<float>{1, 2, 3}, JsonValue::object({}), std::nullopt, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Dimension mismatch: expected 4, got 3");
    EXPECT_EQ(Access::slot_count(*core), 0u);
    EXPECT_EQ(buffered(*core), 0u);
}

TEST_F(CollectionTest, IdentifiersTheStoreCannotHoldAreRefusedBeforeASlotIsTaken) {
    auto core = open();
    for (const std::string& id : {std::string(), std::string(512, 'x')}) {
        auto r = insert_record(*core, std::vector<float>{1, 2}, JsonValue::object({}), id, std::nullopt);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), StoreError::InvalidInput);
        EXPECT_TRUE(r.error().message().starts_with("Invalid input: Record identifier")) << r.error().message();
    }
    EXPECT_EQ(Access::slot_count(*core), 0u);
    EXPECT_EQ(buffered(*core), 0u);
    add(*core, {1, 2}, std::string(511, 'y'));
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_TRUE(stored(*core, std::string(511, 'y')));
}

TEST_F(CollectionTest, GeneratedIdentifierIsAVersion4Uuid) {
    auto core = open();
    const std::string id = add(*core, {1, 2});
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4');
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
    for (std::size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(id[i], '-');
    for (char ch : id) EXPECT_TRUE(ch == '-' || (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'));
    EXPECT_NE(add(*core, {1, 2}), id);
}

TEST_F(CollectionTest, HundredthAddWritesTheWholeBatch) {
    auto core = open();
    add(*core, {0, 0});
    hold_buffer(*core);
    for (int i = 1; i < 99; ++i) add(*core, {float(i), 0});
    EXPECT_EQ(buffered(*core), 99u);
    EXPECT_EQ(stored_count(*core), 0u);
    add(*core, {99, 0});
    EXPECT_EQ(buffered(*core), 0u);
    EXPECT_EQ(stored_count(*core), 100u);
    EXPECT_EQ(Access::first_pending_ms(*core), 0u);
}

TEST_F(CollectionTest, AddOnceTheIntervalHasPassedFlushesTheWholeBuffer) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 0}, "a");
    // One millisecond short of the interval: the buffer is not old enough yet.
    clock.advance_ms(99);
    add(*core, {2, 0}, "b");
    EXPECT_EQ(buffered(*core), 2u);
    clock.advance_ms(1);
    add(*core, {3, 0}, "c");
    EXPECT_EQ(buffered(*core), 0u);
    for (const char* id : {"a", "b", "c"}) EXPECT_TRUE(stored(*core, id)) << id;
}

TEST_F(CollectionTest, StoredRecordCarriesCompactMetadataAndExpiry) {
    auto core = open(2, Metric::Cosine);
    hold_buffer(*core);
    add(*core, {3, 4}, "x", R"({ "b" : [1, 2.5], "a" : "é" })", 60);
    ASSERT_TRUE(sync_collection(*core));
    auto r = stored(*core, "x");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->metadata, R"({"a":"é","b":[1,2.5]})");
    ASSERT_TRUE(r->expires_at);
    EXPECT_EQ(*r->expires_at, r->created_at + 60);
    EXPECT_EQ(r->state, RecordState::Active);
    // Cosine vectors are stored normalised.
    auto v = *Access::read_slot(*core, r->slot);
    EXPECT_FLOAT_EQ(v[0], 0.6f);
    EXPECT_FLOAT_EQ(v[1], 0.8f);
}

TEST_F(CollectionTest, ExpiryOfAHugeTtlSaturates) {
    auto core = open();
    add(*core, {1, 1}, "forever", "{}", std::numeric_limits<std::uint64_t>::max());
    ASSERT_TRUE(sync_collection(*core));
    auto r = stored(*core, "forever");
    ASSERT_TRUE(r && r->expires_at);
    EXPECT_EQ(*r->expires_at, std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(is_record_live(*r, now_unix_secs()));
}

TEST_F(CollectionTest, SameIdentifierTwiceKeepsTheLaterRecordAndBothSlots) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 0}, "dup", R"({"n":1})");
    add(*core, {2, 0}, "dup", R"({"n":2})");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored_count(*core), 1u);
    EXPECT_EQ(stored(*core, "dup")->metadata, R"({"n":2})");
    EXPECT_EQ(Access::slot_count(*core), 2u);
}

TEST_F(CollectionTest, FreedSlotIsReusedWithoutTouchingTheHeader) {
    auto core = open();
    add(*core, {1, 1});
    Access::give_back_slot(*core, 0);
    const auto count = Access::slot_count(*core);
    EXPECT_EQ(*allocate_slot(*core), 0u);
    EXPECT_EQ(Access::slot_count(*core), count);
    EXPECT_EQ(*allocate_slot(*core), count);
}

// Another writer of the file may list a freed slot twice. Handed out twice,
// it would give two records one vector, the first one's overwritten.
TEST_F(CollectionTest, ASlotListedTwiceInTheStoredFreeListIsHandedOutOnce) {
    {
        auto core = open();
        add(*core, {1, 0}, "a");
        add(*core, {0, 1}, "b");
        ASSERT_TRUE(sync_collection(*core));
        ASSERT_TRUE(*delete_record(*core, "a"));
    }
    {
        auto db = KvStore::open(dir / "c" / "meta.redb", {kRecordsTable, kFreelistTable});
        ASSERT_TRUE(db) << db.error().message();
        auto txn = begin_write_txn(**db);
        ASSERT_TRUE(txn);
        ASSERT_TRUE(txn->put(kFreelistTable, kFreelistKey, encode_freelist({0, 0})));
        ASSERT_TRUE(txn->commit());
    }
    auto core = open();
    add(*core, {3, 0}, "c");
    add(*core, {0, 3}, "d");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored(*core, "c")->slot, 0u);
    EXPECT_EQ(stored(*core, "d")->slot, 2u);
}

TEST_F(CollectionTest, LengthCountsLiveStoredAndEveryBufferedEntry) {
    auto core = open();
    hold_buffer(*core);
    for (const char* id : {"s1", "s2", "s3"}) add(*core, {1, 1}, id);
    add(*core, {1, 1}, "s-expired", "{}", 0);
    ASSERT_TRUE(sync_collection(*core));
    hold_buffer(*core);
    add(*core, {1, 1}, "b1");
    add(*core, {1, 1}, "b-expired", "{}", 0);
    EXPECT_EQ(*collection_len(*core), 5u);
}

TEST_F(CollectionTest, SyncEmptiesTheBufferAndWritesNoIndexFile) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "a");
    add(*core, {2, 2}, "b");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(buffered(*core), 0u);
    EXPECT_TRUE(stored(*core, "a"));
    EXPECT_TRUE(stored(*core, "b"));
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_FALSE(std::filesystem::exists(dir / "c" / "hnsw.index"));
}

#ifdef TESSELLO_FAULT_INJECTION
class FailedFlushTest : public CollectionTest, public ::testing::WithParamInterface<FaultPoint> {
protected:
    void TearDown() override { disarm_faults(); }
};

TEST_P(FailedFlushTest, AcknowledgedRecordsStayAndOnlyTheTriggeringAddFails) {
    auto core = open();
    hold_buffer(*core);
    for (const char* id : {"a", "b", "c"}) add(*core, {1, 1}, id);
    arm_fault(GetParam());
    age_buffer(*core);
    auto r = insert_record(*core, std::vector<float>{2, 2}, JsonValue::object({}), "trigger", std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().kind() == StoreError::Transaction || r.error().kind() == StoreError::Io)
        << r.error().message();
    EXPECT_EQ(buffered(*core), 3u);
    EXPECT_EQ(*collection_len(*core), 3u);
    // The failed add's slot is free again; the others keep theirs.
    EXPECT_EQ(Access::free_slots(*core), std::vector<std::uint64_t>{3});

    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored_count(*core), 3u);
    for (const char* id : {"a", "b", "c"}) {
        const auto record = stored(*core, id);
        ASSERT_TRUE(record) << id;
        EXPECT_EQ(*Access::read_slot(*core, record->slot), (std::vector<float>{1, 1})) << id;
    }
    EXPECT_FALSE(stored(*core, "trigger"));
    EXPECT_EQ(add(*core, {3, 3}, "next"), "next");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored(*core, "next").value_or(Record{}).slot, 3u);
}

TEST_P(FailedFlushTest, FailedSyncKeepsEveryRecordBuffered) {
    auto core = open();
    hold_buffer(*core);
    for (const char* id : {"a", "b"}) add(*core, {1, 1}, id);
    arm_fault(GetParam());
    ASSERT_FALSE(sync_collection(*core));
    hold_buffer(*core);
    add(*core, {1, 1}, "later");
    {
        const auto pending = Access::pending(*core);
        ASSERT_EQ(pending.size(), 3u);
        EXPECT_EQ(pending[0].record.id, "a");
        EXPECT_EQ(pending[1].record.id, "b");
        EXPECT_EQ(pending[2].record.id, "later");
    }
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored_count(*core), 3u);
}

// A buffered vector that cannot be written into its slot (the device fails)
// fails the flush: the add that set it off is an Io error and gives its slot
// back for the next add; the others stay buffered, and the next flush writes
// their vectors.
TEST_F(CollectionTest, AFailedVectorWriteGivesTheSlotBack) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "a");
    arm_fault(FaultPoint::Write);
    age_buffer(*core);
    auto r = insert_record(*core, std::vector<float>{2, 2}, JsonValue::object({}), "b", std::nullopt);
    disarm_faults();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), testing::injected_message(FaultPoint::Write));
    EXPECT_EQ(buffered(*core), 1u);
    EXPECT_EQ(Access::free_slots(*core), std::vector<std::uint64_t>{1});
    EXPECT_EQ(add(*core, {3, 3}, "c"), "c");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(stored(*core, "c").value_or(Record{}).slot, 1u);
    EXPECT_EQ(*Access::read_slot(*core, 0), (std::vector<float>{1, 1}));
    EXPECT_EQ(*Access::read_slot(*core, 1), (std::vector<float>{3, 3}));
}

INSTANTIATE_TEST_SUITE_P(WriteCommitAndFsync, FailedFlushTest,
                         ::testing::Values(FaultPoint::Write, FaultPoint::Commit, FaultPoint::Fsync));
#endif

}  // namespace
}  // namespace tessello
