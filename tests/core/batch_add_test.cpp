#include "collection/batch_add.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "collection/sync.h"
#include "collection_fixture.h"
#include "base/fault_injection.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class BatchAddTest : public CollectionFixture {
protected:
    void TearDown() override {
#ifdef TESSELLO_FAULT_INJECTION
        disarm_faults();
#endif
    }
    static BatchInput batch(std::size_t n, std::size_t dims = 2) {
        BatchInput b;
        for (std::size_t i = 0; i < n; ++i) {
            b.rows.push_back(std::vector<float>(dims, float(i + 1)));
            b.metadata.push_back(json("{\"i\":" + std::to_string(i) + "}"));
        }
        return b;
    }
};

TEST_F(BatchAddTest, StoresEveryRecordActiveWithItsExpiry) {
    auto core = open();
    auto b = batch(3);
    b.ids = std::vector<std::string>{"a", "b", "c"};
    b.ttls = std::vector<std::optional<std::uint64_t>>{3600, std::nullopt, 0};
    auto ids = add_batch_records(*core, std::move(b));
    ASSERT_TRUE(ids) << ids.error().message();
    EXPECT_EQ(*ids, (std::vector<std::string>{"a", "b", "c"}));
    auto a = *stored(*core, "a");
    EXPECT_EQ(a.state, RecordState::Active);
    EXPECT_EQ(a.metadata, R"({"i":0})");
    EXPECT_EQ(*a.expires_at, a.created_at + 3600);
    EXPECT_FALSE(stored(*core, "b")->expires_at);
    EXPECT_EQ(*stored(*core, "c")->expires_at, stored(*core, "c")->created_at);
    EXPECT_EQ(*collection_len(*core), 2u);  // c is expired from the start
    EXPECT_EQ((*Access::read_slot(*core, a.slot))[0], 1.0f);
    EXPECT_EQ(buffered(*core), 0u);
}

TEST_F(BatchAddTest, ChecksRunInOrderBeforeAnythingChanges) {
    auto core = open(2);
    auto mismatched_meta = batch(3);
    mismatched_meta.metadata.pop_back();
    auto short_ids = batch(3);
    short_ids.ids = std::vector<std::string>{"x", "y"};
    auto long_ttls = batch(3);
    long_ttls.ids = std::vector<std::string>{"x", "y", "z"};
    long_ttls.ttls = std::vector<std::optional<std::uint64_t>>(4);
    auto bad_row = batch(3);
    bad_row.rows = {std::vector<float>(2, 1.0f), {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5, 6, 7}};
    auto empty_id = batch(2);
    empty_id.ids = std::vector<std::string>{"ok", ""};
    auto long_id = batch(1);
    long_id.ids = std::vector<std::string>{std::string(512, 'x')};
    struct Case {
        BatchInput input;
        const char* message;
    } cases[] = {
        {std::move(mismatched_meta), "Invalid input: vectors and metadatas must have same length"},
        {std::move(short_ids), "Invalid input: ids must have same length as vectors"},
        {std::move(long_ttls), "Invalid input: ttls must have same length as vectors"},
        {std::move(bad_row), "Dimension mismatch: expected 2, got 5"},
        {std::move(empty_id), "Invalid input: Record identifier must not be empty"},
        {std::move(long_id), ""},
    };
    for (auto& c : cases) {
        auto r = add_batch_records(*core, std::move(c.input));
        ASSERT_FALSE(r);
        if (*c.message)
            EXPECT_EQ(r.error().message(), c.message);
        else
            EXPECT_EQ(r.error().kind(), StoreError::InvalidInput);
    }
    EXPECT_EQ(Access::slot_count(*core), 0u);
    EXPECT_EQ(stored_count(*core), 0u);
}

TEST_F(BatchAddTest, RepeatedAndAlreadyStoredIdentifiers) {
    auto core = open();
    add(*core, {9, 9}, "old");
    ASSERT_TRUE(sync_collection(*core));
    auto b = batch(3);
    b.ids = std::vector<std::string>{"twice", "old", "twice"};
    auto ids = add_batch_records(*core, std::move(b));
    ASSERT_TRUE(ids);
    EXPECT_EQ(*ids, (std::vector<std::string>{"twice", "old", "twice"}));
    EXPECT_EQ(stored(*core, "twice")->metadata, R"({"i":2})");
    EXPECT_EQ(stored(*core, "old")->metadata, R"({"i":1})");
    EXPECT_EQ(stored_count(*core), 2u);
    EXPECT_EQ(Access::slot_count(*core), 4u);
    // The replaced records' slots (the stored "old" one, then the earlier
    // "twice" row's) are free again, in the order they were replaced.
    EXPECT_EQ(Access::free_slots(*core), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_TRUE(marked_deleted(*core, 0));
    EXPECT_TRUE(marked_deleted(*core, 1));
}

TEST_F(BatchAddTest, GeneratedIdentifiersAreDistinctAndAnEmptyBatchSucceeds) {
    auto core = open();
    auto ids = add_batch_records(*core, batch(50));
    ASSERT_TRUE(ids);
    std::set<std::string> distinct(ids->begin(), ids->end());
    EXPECT_EQ(distinct.size(), 50u);
    for (const auto& id : *ids) EXPECT_EQ(id.size(), 36u);
    auto none = add_batch_records(*core, BatchInput{});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

#ifdef TESSELLO_FAULT_INJECTION
TEST_F(BatchAddTest, FailedFirstTransactionGivesTheSlotsBack) {
    auto core = open();
    arm_fault(FaultPoint::Commit);
    ASSERT_FALSE(add_batch_records(*core, batch(3)));
    EXPECT_EQ(stored_count(*core), 0u);
    auto free = Access::free_slots(*core);
    std::sort(free.begin(), free.end());
    EXPECT_EQ(free, (std::vector<std::uint64_t>{0, 1, 2}));
    ASSERT_TRUE(add_batch_records(*core, batch(3)));
    EXPECT_EQ(Access::slot_count(*core), 3u);
}

// A batch that fails at any step after its checks (the vector write, the
// sync, the commit) leaves every stored record as it was, the one it would
// have replaced included, and gives all its slots back: a small batch, and one
// large enough to write and sync its vectors beside its transaction.
TEST_F(BatchAddTest, AFailedBatchLeavesTheStoredRecordsAsTheyWere) {
    for (const std::size_t rows : {2, 3000})
        for (const FaultPoint point : {FaultPoint::Write, FaultPoint::Fsync, FaultPoint::Commit}) {
            const std::string name = std::string(fault_point_name(point)) + std::to_string(rows);
            SCOPED_TRACE(name);
            auto core = *open_collection(dir / name, CollectionConfig{name, 2, Metric::L2, 0, std::nullopt});
            auto first = batch(1);
            first.ids = std::vector<std::string>{"p0"};
            ASSERT_TRUE(add_batch_records(*core, std::move(first)));
            const Record before = *stored(*core, "p0");

            auto b = batch(rows);
            b.ids.emplace();
            for (std::size_t i = 0; i < rows; ++i) b.ids->push_back("p" + std::to_string(i));
            arm_fault(point);
            ASSERT_FALSE(add_batch_records(*core, std::move(b)));
            disarm_faults();
            EXPECT_EQ(stored(*core, "p0"), before);
            EXPECT_EQ(stored_count(*core), 1u);
            EXPECT_EQ(*collection_len(*core), 1u);
            auto free = Access::free_slots(*core);
            std::sort(free.begin(), free.end());
            std::vector<std::uint64_t> expected(rows);
            std::iota(expected.begin(), expected.end(), std::uint64_t{1});
            EXPECT_EQ(free, expected);
        }
}
#endif

// The transaction of a batch larger than the key-value map must make the map
// grow rather than fail.
TEST_F(BatchAddTest, ABatchLargerThanTheMapStillActivatesEveryRecord) {
    constexpr std::size_t kSmallMap = 8 << 20;
    auto core = *open_collection(dir / "small", CollectionConfig{"small", 2, Metric::L2, 0, std::nullopt}, kSmallMap);
    BatchInput b = batch(6000);
    const std::string padding(2000, 'p');
    for (std::size_t i = 0; i < b.metadata.size(); ++i) {
        JsonValue m = json("{\"i\":" + std::to_string(i) + "}");
        m.as_object().insert_or_assign("pad", JsonValue::string(padding));
        b.metadata[i] = m;
    }
    auto ids = add_batch_records(*core, std::move(b));
    ASSERT_TRUE(ids) << ids.error().message();
    EXPECT_EQ(*collection_len(*core), 6000u);
    EXPECT_GT(Access::meta_db(*core).map_size(), kSmallMap);
}

TEST_F(BatchAddTest, HnswConfigurationMarksTheIndexDirtyEvenForAnEmptyBatch) {
    auto core = *open_collection(dir / "h", CollectionConfig{"h", 2, Metric::L2, 0, HnswConfig{16, 32, 16, 100, 50, 0.5, 0}});
    Access::index_dirty(*core).store(false);
    ASSERT_TRUE(add_batch_records(*core, BatchInput{}));
    EXPECT_TRUE(Access::index_dirty(*core).load());
}

}  // namespace
}  // namespace tessello
