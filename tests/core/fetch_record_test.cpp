#include "collection/fetch_record.h"

#include <gtest/gtest.h>

#include <cmath>

#include "collection/sync.h"
#include "collection_fixture.h"
#include "json/json_writer.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class FetchRecordTest : public CollectionFixture {
protected:
    static std::optional<SearchHit> fetch(Collection& c, std::string_view id) {
        auto r = fetch_record(c, id);
        EXPECT_TRUE(r) << (r ? "" : r.error().message());
        return r ? std::move(*r) : std::nullopt;
    }
    static std::string meta(const std::optional<SearchHit>& hit) {
        return hit ? to_json_text(hit->metadata) : "<none>";
    }
};

TEST_F(FetchRecordTest, BufferedThenStored) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "doc", R"({"v":1})");
    auto hit = fetch(*core, "doc");
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->id, "doc");
    EXPECT_EQ(hit->score, 0.0f);
    EXPECT_EQ(meta(hit), R"({"v":1})");
    EXPECT_FALSE(fetch(*core, "Doc"));
    EXPECT_FALSE(fetch(*core, "nope"));
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(meta(fetch(*core, "doc")), R"({"v":1})");
}

TEST_F(FetchRecordTest, DuplicatesAndExpiryInTheBuffer) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "d", R"({"n":1})");
    add(*core, {1, 1}, "d", R"({"n":2})");
    EXPECT_EQ(meta(fetch(*core, "d")), R"({"n":1})");
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(meta(fetch(*core, "d")), R"({"n":2})");

    hold_buffer(*core);
    add(*core, {1, 1}, "e", R"({"n":"expired"})", 0);
    add(*core, {1, 1}, "e", R"({"n":"fresh"})");
    EXPECT_EQ(meta(fetch(*core, "e")), R"({"n":"fresh"})");
    add(*core, {1, 1}, "d", "{}", 0);
    EXPECT_EQ(meta(fetch(*core, "d")), R"({"n":2})");  // the table decides
    add(*core, {1, 1}, "gone", "{}", 0);
    EXPECT_FALSE(fetch(*core, "gone"));
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_FALSE(fetch(*core, "gone"));
}

TEST_F(FetchRecordTest, StoredRecordsThatAreNotLive) {
    auto core = open();
    add(*core, {NAN, 1}, "nan");
    add(*core, {1, 1}, "live");
    ASSERT_TRUE(sync_collection(*core));
    const auto slot = stored(*core, "live")->slot;
    put_raw(*core, Record{"pending", slot, "{}", 0, std::nullopt, RecordState::Pending});
    put_raw(*core, Record{"tomb", slot, "{}", 0, std::nullopt, RecordState::Tombstone});
    put_raw(*core, Record{"bad-json", slot, "[1,", 0, std::nullopt, RecordState::Active});
    EXPECT_FALSE(fetch(*core, "nan"));
    EXPECT_FALSE(fetch(*core, "pending"));
    EXPECT_FALSE(fetch(*core, "tomb"));
    auto bad = fetch(*core, "bad-json");
    ASSERT_TRUE(bad);
    EXPECT_TRUE(bad->metadata.is_null());
}

TEST_F(FetchRecordTest, SlotBeyondTheFileIsAnError) {
    auto core = open();
    put_raw(*core, Record{"far", 12, "{}", 0, std::nullopt, RecordState::Active});
    auto r = fetch_record(*core, "far");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Record not found: Slot 12 not allocated");
}

}  // namespace
}  // namespace tessello
