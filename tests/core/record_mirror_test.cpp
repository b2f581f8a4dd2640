// The exact search served from the core's record mirror against the walk of
// table "records" it replaces (search_stored), over the same read
// transaction: same hits, same scores bit for bit, same order, same errors.
#include "collection/record_mirror.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <cstring>
#include <random>
#include <mutex>
#include <shared_mutex>

#include <thread>

#include "base/cpu_features.h"
#include "base/fair_shared_mutex.h"
#include "collection/batch_add.h"
#include "collection/compaction.h"
#include "collection/mirror_search.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "collection_fixture.h"
#include "export/export.h"
#include "export/import.h"
#include "json/json_writer.h"
#include "search/distance.h"
#include "search/filter/parse_where.h"
#include "search/stored_scan.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Vectors that tie with each other (duplicates, zero) and one whose score is
// NaN under Dot and L2 (its first component is a number, so it is no
// deleted mark).
const std::vector<std::vector<float>> kVectors = {
    {1, 0, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}, {-1, 0.5f, 0, 0}, {0.5f, 0.5f, 0.5f, 0.5f}, {0, 0, 0, 0}, {1, kNaN, 0, 0},
};
const char* const kMetadata[] = {
    "{}",
    R"({"a":1})",
    R"({"a":1.0})",
    R"({"a":2,"b":"x"})",
    R"({"a":-3,"n":{"x":1}})",
    R"({"b":"y","n":{"x":1,"y":[1,2]}})",
    R"({"a":"1"})",
    R"({"t":true,"z":null})",
    R"({"a":18446744073709551615,"b":"xy"})",
};
const char* const kFilters[] = {
    "{}",
    R"({"a":1})",
    R"({"a":{"$gt":0}})",
    R"({"a":{"$in":[1,2,"1"]}})",
    R"({"a":{"$ne":1}})",
    R"({"n":{"x":1}})",
    R"({"b":{"$nin":["x"]},"a":{"$lte":2}})",
    R"({"missing":{"$ne":0}})",
    R"({"t":true})",
    R"({"z":null})",
    R"({"b":{"$gte":"x","$lt":"y"}})",
    R"({"a":{"$eq":18446744073709551615}})",
};

std::string describe(const Result<std::vector<SearchHit>>& r) {
    if (!r) return "error: " + r.error().message();
    std::string out;
    for (const SearchHit& h : r.value()) {
        std::uint32_t bits;
        std::memcpy(&bits, &h.score, sizeof bits);
        out += h.id + " " + std::to_string(bits) + " " + to_json_text(h.metadata) + "\n";
    }
    return out;
}

class RecordMirrorTest : public CollectionFixture {
protected:
    struct Compared {
        bool served;  // the mirror answered, rather than sending the caller to the walk
        bool trusted_before;
    };

    // Both answers over one read transaction of c.
    static Compared expect_same(Collection& c, std::span<const float> query, std::uint64_t k,
                                const std::vector<FilterCondition>* filter) {
        auto txn = Access::read_txn(c);
        EXPECT_TRUE(txn);
        if (!txn) return {};
        const std::vector<float> q = normalize(c.config.metric, query);
        const bool trusted = Access::mirror_shared(c)->serves(txn->snapshot_id());
        auto mirrored = mirrored_search(c, *txn, q, k, filter);
        const std::uint64_t cap = filter && !filter->empty() ? k * 10 : k;
        WalkSplits splits;
        auto walked = [&] {
            auto vectors = Access::vectors_shared(c);
            return search_stored(Access::meta_db(c), *txn, q, c.config.metric, *vectors, filter, k, cap, splits);
        }();
        if (mirrored) {
            EXPECT_EQ(describe(*mirrored), describe(walked)) << "k=" << k;
        }
        return {mirrored.has_value(), trusted};
    }

    // One search of the at-once tests, with the walk's answer to it.
    struct AtOnce {
        std::vector<float> query;
        std::uint64_t k;
        const std::vector<FilterCondition>* filter;
        std::string expected;
    };
    static AtOnce with_walked(Collection& c, std::vector<float> query, std::uint64_t k,
                              const std::vector<FilterCondition>* filter) {
        auto txn = Access::read_txn(c);
        WalkSplits splits;
        auto vectors = Access::vectors_shared(c);
        std::string expected = describe(
            search_stored(Access::meta_db(c), *txn, query, c.config.metric, *vectors, filter, k, k * 10, splits));
        return AtOnce{std::move(query), k, filter, std::move(expected)};
    }
    // `threads` threads search at once, round after round (each takes its own
    // case, `step` apart), and each gets the walk's answer. With `stale`, the
    // first thread searches every fourth round over that older transaction
    // and must be sent to the walk.
    static void search_at_once(Collection& c, const std::vector<AtOnce>& cases, int threads, int rounds, int step,
                               const ReadTxn* stale = nullptr) {
        std::barrier start(threads);
        std::vector<std::thread> running;
        for (int t = 0; t < threads; ++t)
            running.emplace_back([&, t] {
                for (int round = 0; round < rounds; ++round) {
                    const AtOnce& x = cases[(t * step + round) % cases.size()];
                    start.arrive_and_wait();
                    if (stale && t == 0 && round % 4 == 0) {
                        EXPECT_FALSE(mirrored_search(c, *stale, x.query, x.k, x.filter)) << "served a stale view";
                        continue;
                    }
                    auto txn = Access::read_txn(c);
                    auto hits = mirrored_search(c, *txn, x.query, x.k, x.filter);
                    ASSERT_TRUE(hits) << "not served";
                    EXPECT_EQ(describe(*hits), x.expected);
                }
            });
        for (auto& th : running) th.join();
    }
};

class RecordMirrorHistoryTest : public RecordMirrorTest, public ::testing::WithParamInterface<Metric> {};

TEST_P(RecordMirrorHistoryTest, RandomHistoriesSearchLikeTheWalk) {
    const Metric metric = GetParam();
    std::vector<std::vector<FilterCondition>> filters;
    for (const char* f : kFilters) filters.push_back(parse_where(json(f)));
    const std::uint64_t ks[] = {1, 2, 5, 1000};

    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        testing::TempDir own;
        auto made = open_collection(own.path() / "c", CollectionConfig{"c", 4, metric, 0, std::nullopt});
        ASSERT_TRUE(made);
        Collection& c = **made;
        hold_buffer(c);
        std::mt19937 rng(seed);
        auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
        auto id = [&] { return "r" + std::to_string(pick(24)); };
        auto vector = [&] { return kVectors[pick(kVectors.size())]; };
        auto metadata = [&] { return json(kMetadata[pick(std::size(kMetadata))]); };
        auto ttl = [&]() -> std::optional<std::uint64_t> {
            if (pick(3) != 0) return std::nullopt;
            return pick(4);
        };
        bool searched = false;
        for (int step = 0; step < 160; ++step) {
            bool behind_its_back = false;
            switch (pick(11)) {
                case 0:
                case 1: (void)insert_record(c, vector(), metadata(), pick(5) ? std::optional(id()) : std::nullopt, ttl()); break;
                case 2: ASSERT_TRUE(upsert_record(c, id(), vector(), metadata(), ttl())); break;
                case 3: ASSERT_TRUE(delete_record(c, id())); break;
                case 4:
                case 5: ASSERT_TRUE(sync_collection(c)); break;
                case 6: ASSERT_TRUE(compact_collection(c)); break;
                case 7: {
                    BatchInput b;
                    std::vector<std::string> ids;
                    for (std::size_t i = 0, n = 1 + pick(4); i < n; ++i) {
                        b.rows.push_back(vector());
                        b.metadata.push_back(metadata());
                        ids.push_back(id());
                    }
                    b.ids = std::move(ids);
                    ASSERT_TRUE(add_batch_records(c, std::move(b)));
                    break;
                }
                case 8: clock.advance_ms(1000 * (1 + pick(2))); break;
                case 9: {
                    // A record written around the core: it may share a slot with
                    // another record, or name one beyond the vector file.
                    const std::uint64_t slots = Access::slot_count(c);
                    Record r;
                    r.id = "raw" + std::to_string(pick(4));
                    r.slot = pick(4) == 0 ? slots + 5 : (slots ? pick(slots) : 0);
                    r.metadata = kMetadata[pick(std::size(kMetadata))];
                    r.created_at = now_unix_secs();
                    r.state = pick(4) == 0 ? RecordState::Tombstone : RecordState::Active;
                    put_raw(c, r);
                    behind_its_back = true;
                    break;
                }
                case 10: {
                    const auto file = (own.path() / "x.ndjson").string();
                    ASSERT_TRUE(sync_collection(c));
                    // A raw record beyond the vector file fails the export.
                    if (!export_collection(c, file)) break;
                    // A NaN component exports as null, which the import refuses
                    // at that line, after the lines before it.
                    (void)import_collection(c, file);
                    break;
                }
            }
            const std::uint64_t k = ks[pick(std::size(ks))];
            const auto* filter = pick(3) == 0 ? nullptr : &filters[pick(filters.size())];
            const Compared got = expect_same(c, vector(), k, filter);
            {
                auto txn = Access::read_txn(c);
                ASSERT_TRUE(txn);
                auto counted = mirrored_live_count(c, *txn);
                ASSERT_TRUE(counted);
                EXPECT_EQ(**counted, *count_live_records(*txn)) << "step " << step;
            }
            // Every commit this process makes reaches the mirror: only a write
            // around the core makes it walk the table again.
            EXPECT_TRUE(got.served) << "step " << step;
            if (searched && !behind_its_back) {
                EXPECT_TRUE(got.trusted_before) << "step " << step;
            }
            searched = true;
            if (::testing::Test::HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, RecordMirrorHistoryTest, ::testing::Values(Metric::Cosine, Metric::Dot, Metric::L2));

TEST_F(RecordMirrorTest, ScansCutIntoPiecesRankLikeTheWalk) {
    // Enough vector data for the scan to be cut into pieces on the pool, and
    // few distinct vectors, so that ties cross the pieces' borders.
    constexpr std::size_t kDims = 256;
    auto core = open(kDims, Metric::Dot);
    std::mt19937 rng(7);
    BatchInput batch;
    std::vector<std::string> ids;
    for (int i = 0; i < 9000; ++i) {
        std::vector<float> v(kDims, 0.0f);
        v[rng() % 3] = 1.0f + static_cast<float>(rng() % 3);
        batch.rows.push_back(std::move(v));
        batch.metadata.push_back(json(kMetadata[rng() % std::size(kMetadata)]));
        ids.push_back("p" + std::to_string(rng()));
    }
    batch.ids = std::move(ids);
    ASSERT_TRUE(add_batch_records(*core, std::move(batch)));
    const auto filter = parse_where(json(R"({"a":{"$in":[1,2]}})"));
    std::vector<float> query(kDims, 0.0f);
    query[0] = 1.0f;
    query[1] = 0.5f;
    for (const auto* f : {static_cast<const std::vector<FilterCondition>*>(nullptr), &filter})
        for (std::uint64_t k : {1, 10, 700, 20000}) {
            SCOPED_TRACE(k);
            EXPECT_TRUE(expect_same(*core, query, k, f).served);
        }
}

TEST_F(RecordMirrorTest, BlocksScoredFourAtOnceScoreLikeTheWalkUnderEitherKernelFamily) {
    // Lengths off the kernels' 4- and 8-float chunks, candidates thinned by
    // deletes, expiry and filters so blocks hold every count of candidates.
    struct Family {
        const char* name;
        std::uint32_t features;
    };
    const std::vector<Family> families = {
        {"wider", kCpuAvx2 | kCpuFma | kCpuAvx512f}, {"wide", kCpuAvx2 | kCpuFma}, {"portable", 0}};
    const auto filter = parse_where(json(R"({"a":{"$in":[1,2]}})"));
    for (const Family& family : families) {
        if (family.features && !cpu_has_avx2_fma()) continue;
        if ((family.features & kCpuAvx512f) && !cpu_has_avx512f()) continue;
        struct Restore {
            std::uint32_t saved;
            ~Restore() { exchange_cpu_features_for_testing(saved); }
        } restore{exchange_cpu_features_for_testing(family.features)};
        for (std::uint64_t dims : {1, 3, 13, 130})
            for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
                SCOPED_TRACE(std::string(family.name) + " dims " + std::to_string(dims));
                testing::TempDir own;
                auto made = open_collection(own.path() / "c", CollectionConfig{"c", dims, metric, 0, std::nullopt});
                ASSERT_TRUE(made);
                Collection& c = **made;
                hold_buffer(c);
                std::mt19937 rng(static_cast<std::uint32_t>(dims));
                auto vector = [&] {
                    std::vector<float> v(dims);
                    for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 7) - 3) / 4.0f;
                    return v;
                };
                for (int i = 0; i < 300; ++i) {
                    const std::optional<std::uint64_t> ttl =
                        rng() % 5 == 0 ? std::optional<std::uint64_t>(rng() % 3) : std::nullopt;
                    add(c, vector(), "b" + std::to_string(i), kMetadata[rng() % std::size(kMetadata)], ttl);
                }
                ASSERT_TRUE(sync_collection(c));
                for (int i = 0; i < 300; i += 3 + static_cast<int>(rng() % 5))
                    ASSERT_TRUE(delete_record(c, "b" + std::to_string(i)));
                clock.advance_ms(1000);
                for (const auto* f : {static_cast<const std::vector<FilterCondition>*>(nullptr), &filter})
                    for (std::uint64_t k : {1, 7, 1000}) EXPECT_TRUE(expect_same(c, vector(), k, f).served);
            }
    }
}

// Searches that arrive together are scored in shared passes; each gets the
// answer of its own query, k and filter, as the walk gives it, and one whose
// transaction the mirror has moved past is sent to the walk, whatever the
// searches it shared a pass with.
TEST_F(RecordMirrorTest, SearchesAtOnceEachGetTheirOwnAnswer) {
    constexpr std::size_t kDims = 16;
    constexpr int kThreads = 8;
    auto core = open(kDims, Metric::Dot);
    Collection& c = *core;
    std::mt19937 rng(5);
    auto vector = [&] {
        std::vector<float> v(kDims);
        for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 9) - 4) / 4.0f;
        return v;
    };
    hold_buffer(c);
    for (int i = 0; i < 6000; ++i) {
        const std::optional<std::uint64_t> ttl = i % 7 == 0 ? std::optional<std::uint64_t>(1) : std::nullopt;
        add(c, vector(), "q" + std::to_string(i), kMetadata[i % std::size(kMetadata)], ttl);
    }
    ASSERT_TRUE(sync_collection(c));
    for (int i = 0; i < 6000; i += 11) ASSERT_TRUE(delete_record(c, "q" + std::to_string(i)));
    clock.advance_ms(2000);
    auto old = Access::read_txn(c);
    ASSERT_TRUE(old);
    std::thread([&] {  // a thread of its own: this one holds a transaction
        add(c, vector(), "late");
        ASSERT_TRUE(sync_collection(c));
    }).join();

    std::vector<std::vector<FilterCondition>> filters;
    for (const char* f : kFilters) filters.push_back(parse_where(json(f)));
    std::vector<AtOnce> cases;
    for (int i = 0; i < 24; ++i) {
        std::vector<float> q = vector();
        const std::uint64_t k = 1 + rng() % 40;
        cases.push_back(with_walked(c, std::move(q), k, i % 3 ? &filters[rng() % filters.size()] : nullptr));
    }
    ASSERT_TRUE(mirrored_search(c, *Access::read_txn(c), cases[0].query, 1, &filters[1]));  // forms made
    search_at_once(c, cases, kThreads, 40, 5, &*old);
}

// Passes of several searches over enough vectors that the caller and pool
// threads share them chunk by chunk: few distinct vectors (one of them
// scoring NaN) make ties and NaNs cross the chunks' borders, and each
// search still gets the walk's answer whichever thread scored which slot.
TEST_F(RecordMirrorTest, SearchesAtOnceOverChunkedPassesRankLikeTheWalk) {
    constexpr std::size_t kDims = 128;
    constexpr int kThreads = 8;
    auto core = open(kDims, Metric::Dot);
    Collection& c = *core;
    std::mt19937 rng(11);
    std::vector<std::vector<float>> distinct;
    for (int i = 0; i < 12; ++i) {
        std::vector<float> v(kDims, 0.0f);
        for (std::size_t d = 0; d < kDims; d += 1 + rng() % 5) v[d] = static_cast<float>(static_cast<int>(rng() % 5) - 2);
        distinct.push_back(std::move(v));
    }
    distinct[0][1] = kNaN;
    BatchInput batch;
    std::vector<std::string> ids;
    for (int i = 0; i < 9000; ++i) {
        batch.rows.push_back(distinct[rng() % distinct.size()]);
        batch.metadata.push_back(json(kMetadata[rng() % std::size(kMetadata)]));
        ids.push_back("c" + std::to_string(rng()));
    }
    batch.ids = ids;
    ASSERT_TRUE(add_batch_records(c, std::move(batch)));
    for (std::size_t i = 0; i < ids.size(); i += 13) ASSERT_TRUE(delete_record(c, ids[i]));

    const auto filter = parse_where(json(R"({"a":{"$in":[1,2]}})"));
    std::vector<AtOnce> cases;
    for (int i = 0; i < 16; ++i) {
        std::vector<float> q = distinct[1 + rng() % (distinct.size() - 1)];
        const std::uint64_t k = 1 + rng() % 300;
        const std::vector<FilterCondition>* f = i % 4 ? nullptr : &filter;
        q[rng() % kDims] += 0.5f;
        cases.push_back(with_walked(c, std::move(q), k, f));
    }
    ASSERT_TRUE(mirrored_search(c, *Access::read_txn(c), cases[0].query, 1, &filter));  // forms made
    search_at_once(c, cases, kThreads, 12, 3);
}

TEST_F(RecordMirrorTest, AStaleOrUntrustedMirrorIsWalkedAgain) {
    auto core = open(2, Metric::L2);
    add(*core, {1, 0}, "a");
    ASSERT_TRUE(sync_collection(*core));
    auto ids = [&] {
        std::vector<std::string> out;
        auto hits = search_collection(*core, std::vector<float>{0, 0}, 10, nullptr);
        EXPECT_TRUE(hits);
        if (hits)
            for (const SearchHit& h : *hits) out.push_back(h.id);
        return out;
    };
    EXPECT_EQ(ids(), std::vector<std::string>{"a"});

    // A commit the core never heard of.
    Record r;
    r.id = "b";
    r.slot = 0;
    r.metadata = "{}";
    put_raw(*core, r);
    EXPECT_EQ(ids(), (std::vector<std::string>{"a", "b"}));

    // A mirror that lost track: its content is not used, though its snapshot matches.
    {
        auto txn = Access::read_txn(*core);
        ASSERT_TRUE(Access::mirror_shared(*core)->serves(txn->snapshot_id()));
    }
    {
        auto m = Access::mirror_exclusive(*core);
        const Record bogus{"ghost", 0, "{}", 0, std::nullopt, RecordState::Active};
        const MirrorChange change{bogus.id, std::nullopt, &bogus};
        m->distrust();
        m->note(1000000, std::span(&change, 1));
    }
    EXPECT_EQ(ids(), (std::vector<std::string>{"a", "b"}));

    // A commit whose id leaves a gap leaves the mirror untrusted too.
    {
        auto m = Access::mirror_exclusive(*core);
        const Record bogus{"ghost", 0, "{}", 0, std::nullopt, RecordState::Active};
        const MirrorChange change{bogus.id, std::nullopt, &bogus};
        m->note(1000000, std::span(&change, 1));
    }
    EXPECT_EQ(ids(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(RecordMirrorTest, AnUndecodableValueFailsEverySearchUntilRemoved) {
    auto core = open(2, Metric::Dot);
    add(*core, {1, 1}, "b-fine");
    ASSERT_TRUE(sync_collection(*core));
    ASSERT_TRUE(search_collection(*core, std::vector<float>{1, 1}, 5, nullptr));  // the mirror is built
    const std::uint8_t junk[] = {1, 0, 0};
    for (const char* key : {"z-junk", "a-junk"}) {
        auto w = begin_write_txn(Access::meta_db(*core));
        ASSERT_TRUE(w->put(kRecordsTable, key, junk));
        ASSERT_TRUE(w->commit());
    }
    const auto filter = parse_where(json(R"({"a":1})"));
    auto expect_failure = [&](std::string_view why) {
        SCOPED_TRACE(why);
        for (const auto* f : {static_cast<const std::vector<FilterCondition>*>(nullptr), &filter}) {
            auto r = search_collection(*core, std::vector<float>{1, 1}, 5, f);
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().message(), "Serialization error: io error: unexpected end of file");
            expect_same(*core, std::vector<float>{1, 1}, 5, f);
        }
        auto len = collection_len(*core);
        ASSERT_FALSE(len);
        EXPECT_EQ(len.error().message(), "Serialization error: io error: unexpected end of file");
    };
    expect_failure("first search after the values appeared");
    expect_failure("again");
    // Commits the core makes meanwhile do not hide it.
    add(*core, {2, 2}, "c-new");
    ASSERT_TRUE(sync_collection(*core));
    expect_failure("after a flush");
    for (const char* key : {"a-junk", "z-junk"}) {
        auto w = begin_write_txn(Access::meta_db(*core));
        ASSERT_TRUE(w->remove(kRecordsTable, key));
        ASSERT_TRUE(w->commit());
        if (std::string_view(key) == "a-junk") expect_failure("the later value still fails");
    }
    auto r = search_collection(*core, std::vector<float>{1, 1}, 5, nullptr);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].id, "c-new");
}

TEST_F(RecordMirrorTest, SearchesWhileOthersWriteMatchTheWalkOfTheirOwnView) {
    auto core = open(4, Metric::L2);
    Collection& c = *core;
    for (int i = 0; i < 3000; ++i) add(c, kVectors[i % 6], "s" + std::to_string(i), kMetadata[i % 9]);
    ASSERT_TRUE(sync_collection(c));
    // The vector file has no snapshots: a delete marks a slot that an older
    // read transaction still names, so the two scans of one comparison could
    // see it differently. Deletes and upserts wait for the comparisons in
    // progress; adds of new identifiers, batch adds and flushes run beside them.
    FairSharedMutex marks;
    std::atomic<int> writers_left{3};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w)
        threads.emplace_back([&, w] {
            std::mt19937 rng(w + 1);
            for (int i = 0; i < 300; ++i) {
                const std::string fresh = "w" + std::to_string(w) + "-" + std::to_string(i);
                switch (rng() % 5) {
                    case 0: {
                        std::unique_lock hold(marks);
                        (void)delete_record(c, "s" + std::to_string(rng() % 3000));
                        break;
                    }
                    case 1: {
                        std::unique_lock hold(marks);
                        (void)upsert_record(c, "s" + std::to_string(rng() % 3000), kVectors[rng() % 6],
                                            json(kMetadata[rng() % 9]), std::nullopt);
                        break;
                    }
                    case 2: (void)insert_record(c, kVectors[rng() % 6], json(kMetadata[rng() % 9]), fresh, std::nullopt); break;
                    case 3: {
                        BatchInput b;
                        b.rows = {kVectors[rng() % 6], kVectors[rng() % 6]};
                        b.metadata = {json(kMetadata[rng() % 9]), JsonValue()};
                        b.ids = std::vector<std::string>{fresh + "a", fresh + "b"};
                        (void)add_batch_records(c, std::move(b));
                        break;
                    }
                    case 4: (void)sync_collection(c); break;
                }
            }
            --writers_left;
        });
    const auto filter = parse_where(json(R"({"a":{"$gte":1}})"));
    std::atomic<int> served{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            while (writers_left > 0) {
                std::shared_lock hold(marks);
                const auto* f = rng() % 2 ? &filter : nullptr;
                if (expect_same(c, kVectors[rng() % 6], 1 + rng() % 20, f).served) ++served;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_GT(served.load(), 0);
}

}  // namespace
}  // namespace tessello
