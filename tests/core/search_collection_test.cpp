#include "collection/search_collection.h"

#include <gtest/gtest.h>

#include <cmath>

#include "collection/sync.h"
#include "collection_fixture.h"
#include "json/json_writer.h"
#include "search/filter/parse_where.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class SearchCollectionTest : public CollectionFixture {
protected:
    static std::vector<SearchHit> search(Collection& c, std::vector<float> q, std::uint64_t k,
                                         std::optional<std::string> where = std::nullopt) {
        std::optional<std::vector<FilterCondition>> filter;
        if (where) filter = parse_where(json(*where));
        auto r = search_collection(c, q, k, filter ? &*filter : nullptr);
        EXPECT_TRUE(r) << (r ? "" : r.error().message());
        return r ? *r : std::vector<SearchHit>{};
    }
    static std::vector<std::string> ids(const std::vector<SearchHit>& hits) {
        std::vector<std::string> out;
        for (const auto& h : hits) out.push_back(h.id);
        return out;
    }
};

TEST_F(SearchCollectionTest, ZeroKAndDimensionCheck) {
    auto core = open(4);
    add(*core, {1, 0, 0, 0}, "a");
    EXPECT_TRUE(search(*core, {1, 0, 0, 0}, 0).empty());
    ASSERT_TRUE(sync_collection(*core));
    add(*core, {1, 0, 0, 0}, "b");
    EXPECT_TRUE(search(*core, {1, 0, 0, 0}, 0).empty());
    auto r = search_collection(*core, std::vector<float>{1, 0, 0}, 0, nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Dimension mismatch: expected 4, got 3");
}

TEST_F(SearchCollectionTest, OrderPerMetricWithStoredAndBufferedRecords) {
    struct Case {
        Metric metric;
        std::vector<std::string> expected;
    } cases[] = {
        {Metric::L2, {"near", "mid", "far"}},
        {Metric::Dot, {"mid", "near", "far"}},
        {Metric::Cosine, {"near", "mid", "far"}},
    };
    for (const auto& c : cases) {
        testing::TempDir d;
        auto core = *open_collection(d / "c", CollectionConfig{"c", 2, c.metric, 0, std::nullopt});
        hold_buffer(*core);
        add(*core, {1, 0.1f}, "near");
        add(*core, {3, 3}, "mid");
        ASSERT_TRUE(sync_collection(*core));
        hold_buffer(*core);
        add(*core, {0.5f, 8}, "far");  // buffered
        auto hits = search(*core, {1, 0}, 10);
        EXPECT_EQ(ids(hits), c.expected) << metric_python_name(c.metric);
        for (std::size_t i = 1; i < hits.size(); ++i) {
            if (c.metric == Metric::L2)
                EXPECT_LE(hits[i - 1].score, hits[i].score);
            else
                EXPECT_GE(hits[i - 1].score, hits[i].score);
        }
    }
}

TEST_F(SearchCollectionTest, ExactMatchUnderL2ScoresZeroAndKCutsTheList) {
    auto core = open();
    hold_buffer(*core);
    for (int i = 0; i < 6; ++i) add(*core, {float(i), float(i)}, "r" + std::to_string(i));
    ASSERT_TRUE(sync_collection(*core));
    auto hits = search(*core, {2, 2}, 3);
    ASSERT_EQ(ids(hits), (std::vector<std::string>{"r2", "r1", "r3"}));
    EXPECT_EQ(hits[0].score, 0.0f);
    EXPECT_EQ(search(*core, {0, 0}, 100).size(), 6u);
}

TEST_F(SearchCollectionTest, OnlyBufferedRecordsAreScoredAndOrdered) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {5, 5}, "five");
    add(*core, {1, 1}, "one");
    EXPECT_EQ(stored_count(*core), 0u);
    EXPECT_EQ(ids(search(*core, {0, 0}, 5)), (std::vector<std::string>{"one", "five"}));
}

TEST_F(SearchCollectionTest, TiesPutStoredBeforeBufferedAndStoredInIdentifierOrder) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "zeta");
    add(*core, {1, 1}, "alpha");
    ASSERT_TRUE(sync_collection(*core));
    hold_buffer(*core);
    add(*core, {1, 1}, "buffered-2");
    add(*core, {1, 1}, "buffered-1");
    EXPECT_EQ(ids(search(*core, {0, 0}, 10)),
              (std::vector<std::string>{"alpha", "zeta", "buffered-2", "buffered-1"}));
    EXPECT_EQ(ids(search(*core, {0, 0}, 3)), (std::vector<std::string>{"alpha", "zeta", "buffered-2"}));
}

TEST_F(SearchCollectionTest, ExpiryHidesRecordsBufferedAndStored) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "gone", "{}", 0);
    add(*core, {1, 1}, "later", "{}", 3600);
    EXPECT_EQ(ids(search(*core, {1, 1}, 10)), std::vector<std::string>{"later"});
    ASSERT_TRUE(sync_collection(*core));
    EXPECT_EQ(ids(search(*core, {1, 1}, 10)), std::vector<std::string>{"later"});
}

TEST_F(SearchCollectionTest, FilterAppliesToStoredAndBufferedRecords) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "s-red", R"({"color":"red","n":1})");
    add(*core, {2, 2}, "s-blue", R"({"color":"blue","n":2})");
    add(*core, {3, 3}, "s-none", R"({"n":3})");
    ASSERT_TRUE(sync_collection(*core));
    hold_buffer(*core);
    add(*core, {4, 4}, "b-red", R"({"color":"red","n":4})");
    add(*core, {5, 5}, "b-blue", R"({"color":"blue","n":5})");

    EXPECT_EQ(ids(search(*core, {0, 0}, 10, R"({"color":"red"})")), (std::vector<std::string>{"s-red", "b-red"}));
    EXPECT_EQ(ids(search(*core, {0, 0}, 10, R"({"n":{"$gte":2,"$lt":5}})")),
              (std::vector<std::string>{"s-blue", "s-none", "b-red"}));
    EXPECT_EQ(ids(search(*core, {0, 0}, 10, "{}")), ids(search(*core, {0, 0}, 10)));
    EXPECT_EQ(ids(search(*core, {0, 0}, 1, R"({"color":"blue"})")), std::vector<std::string>{"s-blue"});
    auto hit = search(*core, {0, 0}, 1, R"({"color":"red"})");
    ASSERT_EQ(hit.size(), 1u);
    EXPECT_EQ(to_json_text(hit[0].metadata), R"({"color":"red","n":1})");
}

TEST_F(SearchCollectionTest, DeletedOrUnallocatedSlotsAndBadMetadataAreNoErrors) {
    auto core = open();
    hold_buffer(*core);
    add(*core, {1, 1}, "ok");
    add(*core, {NAN, 1}, "nan-first");
    ASSERT_TRUE(sync_collection(*core));
    put_raw(*core, Record{"beyond", 999, "{}", 0, std::nullopt, RecordState::Active});
    put_raw(*core, Record{"not-json", 0, "{oops", 0, std::nullopt, RecordState::Active});
    put_raw(*core, Record{"pending", 0, "{}", 0, std::nullopt, RecordState::Pending});
    put_raw(*core, Record{"tomb", 0, "{}", 0, std::nullopt, RecordState::Tombstone});
    auto hits = search(*core, {1, 1}, 10);
    EXPECT_EQ(ids(hits), (std::vector<std::string>{"not-json", "ok"}));
    EXPECT_TRUE(hits[0].metadata.is_null());
    // Unparsable metadata matches only an empty filter.
    EXPECT_EQ(ids(search(*core, {1, 1}, 10, "{}")), (std::vector<std::string>{"not-json", "ok"}));
    EXPECT_EQ(ids(search(*core, {1, 1}, 10, R"({"a":1})")), std::vector<std::string>{});
}

TEST_F(SearchCollectionTest, UndecodableStoredValueFailsEverySearch) {
    auto core = open();
    add(*core, {1, 1}, "fine");
    ASSERT_TRUE(sync_collection(*core));
    {
        auto w = begin_write_txn(Access::meta_db(*core));
        const std::uint8_t junk[] = {1, 0, 0};
        ASSERT_TRUE(w->put(kRecordsTable, "junk", junk));
        ASSERT_TRUE(w->commit());
    }
    auto r = search_collection(*core, std::vector<float>{1, 1}, 5, nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Serialization error: io error: unexpected end of file");
}

TEST_F(SearchCollectionTest, ParallelScanMatchesAcrossTheThreshold) {
    // 1200 stored records full of ties; the pool-based scan must rank them
    // exactly as the one-by-one scan of a smaller prefix would.
    auto core = open();
    hold_buffer(*core);
    for (int i = 0; i < 1200; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "id%05d", i);
        add(*core, {float(i % 7), 0}, id);
        if (i % 99 == 98) hold_buffer(*core);
    }
    ASSERT_TRUE(sync_collection(*core));
    auto hits = search(*core, {0, 0}, 50);
    ASSERT_EQ(hits.size(), 50u);
    // Score 0 belongs to i % 7 == 0, in identifier order: id00000, id00007, ...
    for (int j = 0; j < 50; ++j) {
        char id[16];
        std::snprintf(id, sizeof id, "id%05d", j * 7);
        EXPECT_EQ(hits[j].id, id);
        EXPECT_EQ(hits[j].score, 0.0f);
    }
}

}  // namespace
}  // namespace tessello
