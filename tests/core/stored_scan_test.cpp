#include "search/stored_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "json/json_reader.h"
#include "search/exact.h"
#include "search/filter/matches_filter.h"
#include "search/filter/parse_where.h"
#include "storage/records_table.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

constexpr Metric kL2 = Metric::L2;

// Several batches' worth of stored records with many equal scores, some
// deleted slots, dead records and unparsable metadata.
class StoredScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = std::move(*KvStore::open(dir / "meta.redb", {kRecordsTable}));
        store.emplace(*create_vector_store(dir / "vectors.bin", 2));
        std::mt19937 rng(5);
        auto w = begin_write_txn(*db);
        for (int i = 0; i < kRecords; ++i) {
            const std::uint64_t slot = *store->append_slot();
            const float v[2] = {float(rng() % 9), float(rng() % 3)};
            ASSERT_TRUE(store->write_slot(slot, v));
            if (i % 97 == 0) {
                ASSERT_TRUE(store->mark_deleted(slot));
            }
            char id[32];
            // Keys in another order than slots, as generated identifiers are.
            std::snprintf(id, sizeof id, "k%08u", static_cast<unsigned>(rng()));
            Record r{id, slot, "{\"g\":" + std::to_string(i % 4) + "}", 0, std::nullopt, RecordState::Active};
            if (i % 50 == 1) r.state = RecordState::Tombstone;
            if (i % 61 == 2) r.expires_at = 1;
            if (i % 73 == 3) r.metadata = "{not json";
            ASSERT_TRUE(put_record(*w, r));
        }
        ASSERT_TRUE(w->commit());
    }

    // The reference: a plain walk selecting candidates, then search_candidates.
    std::vector<SearchHit> reference(const std::vector<FilterCondition>* filter, std::uint64_t k) {
        auto txn = begin_read_txn(*db);
        auto cursor = txn->scan(kRecordsTable);
        std::vector<ScanCandidate> candidates;
        while (auto e = *cursor->next()) {
            auto r = *decode_record_view(e->value);
            if (!is_record_live(r, now_unix_secs())) continue;
            if (filter && !matches_filter(*filter, metadata_value(r.metadata))) continue;
            candidates.push_back(ScanCandidate{r.slot, r});
        }
        return search_candidates(candidates, query, kL2, *store, k, filter && !filter->empty() ? 10 * k : k);
    }

    Result<std::vector<SearchHit>> scan(const std::vector<FilterCondition>* filter, std::uint64_t k) {
        auto txn = begin_read_txn(*db);
        return scan_in(*txn, filter, k);
    }
    Result<std::vector<SearchHit>> scan_in(const ReadTxn& txn, const std::vector<FilterCondition>* filter,
                                           std::uint64_t k) {
        return search_stored(*db, txn, query, kL2, *store, filter, k, filter && !filter->empty() ? 10 * k : k,
                             splits);
    }
    static void expect_same(const std::vector<SearchHit>& got, const std::vector<SearchHit>& expected) {
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].id, expected[i].id) << "at " << i;
            ASSERT_EQ(got[i].score, expected[i].score) << "at " << i;
        }
    }

    static constexpr int kRecords = 9000;
    TempDir dir;
    std::unique_ptr<KvStore> db;
    std::optional<VectorStore> store;
    WalkSplits splits;
    const std::vector<float> query = {4, 1};
};

TEST_F(StoredScanTest, EqualsTheWalkThenScanOfEveryCandidate) {
    const auto g1 = parse_where(*parse_json(R"({"g":1})"));
    const std::vector<FilterCondition> empty;
    for (const std::vector<FilterCondition>* filter : {static_cast<const std::vector<FilterCondition>*>(nullptr),
                                                        &empty, &g1}) {
        for (std::uint64_t k : {1u, 10u, 250u, 20000u}) {
            // The first walk runs on one thread and learns split keys; the
            // second walks the runs at once.
            for (int walk = 0; walk < 2; ++walk) {
                auto got = scan(filter, k);
                ASSERT_TRUE(got) << got.error().message();
                expect_same(*got, reference(filter, k));
            }
            EXPECT_FALSE(splits.get().empty());
        }
    }
}

TEST_F(StoredScanTest, RunsNeverSeeALaterCommitThanTheCallersTransaction) {
    ASSERT_TRUE(scan(nullptr, 5));
    ASSERT_FALSE(splits.get().empty());
    auto before = begin_read_txn(*db);
    const auto expected = reference(nullptr, 5);
    {
        // A record that ranks first (best score, first key), committed after `before`.
        const std::uint64_t slot = *store->append_slot();
        const float v[2] = {4, 1};
        ASSERT_TRUE(store->write_slot(slot, v));
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(put_record(*w, Record{"k0", slot, "{}", 0, std::nullopt, RecordState::Active}));
        ASSERT_TRUE(w->commit());
    }
    auto got = scan_in(*before, nullptr, 5);
    ASSERT_TRUE(got);
    expect_same(*got, expected);
    auto now = scan(nullptr, 1);
    ASSERT_TRUE(now);
    EXPECT_EQ(now->at(0).id, "k0");
}

TEST_F(StoredScanTest, FirstUndecodableValueInKeyOrderIsTheError) {
    auto w = begin_write_txn(*db);
    const std::uint8_t cut[] = {1, 0, 0};
    auto bad_tag = encode_record(Record{"x", 0, "{}", 0, std::nullopt, RecordState::Active});
    bad_tag[8 + 1 + 8 + 8 + 2 + 8] = 7;
    ASSERT_TRUE(w->put(kRecordsTable, "k0000", bad_tag));  // sorts before every generated key
    ASSERT_TRUE(w->put(kRecordsTable, "kzzzz", cut));       // and this one after them
    ASSERT_TRUE(w->commit());
    for (int walk = 0; walk < 2; ++walk) {
        auto got = scan(nullptr, 5);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message(), "Serialization error: tag for enum is not valid, found 7");
    }
}

}  // namespace
}  // namespace tessello
