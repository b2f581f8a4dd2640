#include "search/exact.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "json/json_reader.h"
#include "search/filter/parse_where.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

constexpr Metric kL2 = Metric::L2;
constexpr Metric kDot = Metric::Dot;

// A 2-dimension store whose slot i holds (values[i], 0), with candidates in
// slot order named "c00000", "c00001", ...
class ExactScanTest : public ::testing::Test {
protected:
    void fill(const std::vector<float>& values) {
        store.emplace(*create_vector_store(dir / "vectors.bin", 2));
        names.clear();
        candidates.clear();
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::uint64_t slot = *store->append_slot();
            const float v[2] = {values[i], 0.0f};
            ASSERT_TRUE(store->write_slot(slot, v));
            char id[32];
            std::snprintf(id, sizeof id, "c%05zu", i);
            names.emplace_back(id);
        }
        for (std::size_t i = 0; i < values.size(); ++i)
            candidates.push_back(ScanCandidate{i, RecordView{names[i], i, "{}", 0, std::nullopt, RecordState::Active}});
    }
    static std::vector<std::string> ids(const std::vector<SearchHit>& hits) {
        std::vector<std::string> out;
        for (const auto& h : hits) out.push_back(h.id);
        return out;
    }

    TempDir dir;
    std::optional<VectorStore> store;
    std::vector<std::string> names;
    std::vector<ScanCandidate> candidates;
    const std::vector<float> origin = {0.0f, 0.0f};
};

TEST_F(ExactScanTest, ZeroKGivesNoHits) {
    fill({1, 2, 3});
    EXPECT_TRUE(search_candidates(candidates, origin, kL2, *store, 0, 0).empty());
    const Record record{"p", 0, "{}", 0, std::nullopt, RecordState::Active};
    const std::vector<float> vector = {1, 1};
    const std::vector<BufferedCandidate> pending = {{&record, vector}};
    EXPECT_TRUE(search_pending(pending, origin, kL2, nullptr, 0).empty());
}

TEST_F(ExactScanTest, TiesKeepCandidateOrderAndAFullCollectorDropsEqualScores) {
    fill({2, 1, 2, 1, 3});
    EXPECT_EQ(ids(search_candidates(candidates, origin, kL2, *store, 3, 3)),
              (std::vector<std::string>{"c00001", "c00003", "c00000"}));
    EXPECT_EQ(ids(search_candidates(candidates, std::vector<float>{1, 0}, kDot, *store, 2, 2)),
              (std::vector<std::string>{"c00004", "c00000"}));
}

TEST_F(ExactScanTest, LargerCapChangesNothing) {
    std::vector<float> values;
    for (int i = 0; i < 300; ++i) values.push_back(float(i % 13));
    fill(values);
    EXPECT_EQ(ids(search_candidates(candidates, origin, kL2, *store, 10, 100)),
              ids(search_candidates(candidates, origin, kL2, *store, 10, 10)));
}

TEST_F(ExactScanTest, UnallocatedAndDeletedSlotsAreSkipped) {
    fill({1, 2, 3});
    ASSERT_TRUE(store->mark_deleted(0));
    candidates.push_back(ScanCandidate{99, RecordView{"beyond", 99, "{}", 0, std::nullopt, RecordState::Active}});
    EXPECT_EQ(ids(search_candidates(candidates, origin, kL2, *store, 10, 10)),
              (std::vector<std::string>{"c00001", "c00002"}));
    auto pairs = scan_slots(candidates, origin, kL2, *store);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].index, 1u);  // the index counts skipped candidates too
}

TEST_F(ExactScanTest, PoolScanEqualsOneByOneScanOnTenThousandTies) {
    std::mt19937 rng(3);
    std::vector<float> values(10000);
    for (auto& v : values) v = float(rng() % 5);
    fill(values);
    const auto sequential = scan_slots(candidates, origin, kL2, *store);
    const auto parallel = scan_slots_parallel(candidates, origin, kL2, *store);
    EXPECT_EQ(parallel, sequential);
    // The hits equal the first k of a stable sort of the sequential pairs.
    auto sorted = sequential;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const ScoredIndex& a, const ScoredIndex& b) { return a.score < b.score; });
    const auto hits = search_candidates(candidates, origin, kL2, *store, 25, 25);
    ASSERT_EQ(hits.size(), 25u);
    for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].id, names[sorted[i].index]);
}

TEST_F(ExactScanTest, NotJsonMetadataBecomesNull) {
    fill({1});
    candidates[0].record.metadata = "{broken";
    auto hits = search_candidates(candidates, origin, kL2, *store, 1, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_TRUE(hits[0].metadata.is_null());
}

// Buffered records with their vectors, and the views the scans take of them.
struct Buffered {
    std::vector<Record> records;
    std::vector<std::vector<float>> vectors;

    void add(Record r, std::vector<float> v) {
        records.push_back(std::move(r));
        vectors.push_back(std::move(v));
    }
    std::vector<BufferedCandidate> views() const {
        std::vector<BufferedCandidate> out;
        for (std::size_t i = 0; i < records.size(); ++i) out.push_back({&records[i], vectors[i]});
        return out;
    }
};

TEST(ExactPendingTest, StateExpiryAndFilter) {
    const std::uint64_t now = now_unix_secs();
    Buffered buffered;
    auto entry = [&](std::string id, std::string meta, std::optional<std::uint64_t> expires,
                     RecordState state = RecordState::Active) {
        buffered.add(Record{std::move(id), 0, std::move(meta), 0, expires, state}, {1, 0});
    };
    entry("expires-now", "{}", now);
    entry("never", R"({"a":1})", std::nullopt);
    entry("later", R"({"a":2})", now + 100);
    entry("tomb", "{}", std::nullopt, RecordState::Tombstone);
    entry("not-json", "nope", std::nullopt);
    const auto entries = buffered.views();
    const std::vector<float> q = {0, 0};
    auto names = [](const std::vector<SearchHit>& hits) {
        std::vector<std::string> out;
        for (const auto& h : hits) out.push_back(h.id);
        return out;
    };
    EXPECT_EQ(names(search_pending(entries, q, kL2, nullptr, 10)),
              (std::vector<std::string>{"never", "later", "not-json"}));
    const std::vector<FilterCondition> none;
    EXPECT_EQ(names(search_pending(entries, q, kL2, &none, 10)),
              (std::vector<std::string>{"never", "later", "not-json"}));
    const auto a1 = parse_where(*parse_json(R"({"a":1})"));
    EXPECT_EQ(names(search_pending(entries, q, kL2, &a1, 10)), std::vector<std::string>{"never"});
}

TEST(ExactPendingTest, PoolScanEqualsOneByOneScan) {
    Buffered buffered;
    for (int i = 0; i < 2000; ++i)
        buffered.add(Record{"p" + std::to_string(i), 0, "{}", 0, std::nullopt, RecordState::Active},
                     {float(i % 3), 0});
    const auto entries = buffered.views();
    const std::vector<float> q = {0, 0};
    EXPECT_EQ(scan_pending_parallel(entries, q, kL2, nullptr), scan_pending(entries, q, kL2, nullptr));
}

TEST(ScoreOrderTest, NanRanksAfterEveryNumber) {
    EXPECT_TRUE(score_ranks_before(-INFINITY, NAN, true));
    EXPECT_TRUE(score_ranks_before(INFINITY, NAN, false));
    EXPECT_FALSE(score_ranks_before(NAN, NAN, true));
    EXPECT_FALSE(score_ranks_before(NAN, 1.0f, false));
    EXPECT_TRUE(score_ranks_before(2.0f, 1.0f, true));
    EXPECT_TRUE(score_ranks_before(1.0f, 2.0f, false));
}

}  // namespace
}  // namespace tessello
