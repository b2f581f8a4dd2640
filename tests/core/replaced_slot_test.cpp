// A record stored under an identifier that already names another record
// (stored before, or earlier in the same flush or batch) gives the replaced
// record's slot back as a delete would: listed free in the list its own
// transaction stores, marked deleted and hidden from the graph. So re-adding
// records under their identifiers reuses slots instead of growing the file.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "collection/batch_add.h"
#include "collection/fetch_record.h"
#include "collection/insert.h"
#include "collection/slot_release.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection_fixture.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class ReplacedSlotTest : public CollectionFixture {
protected:
    // With the buffer empty: every allocated slot is named by exactly one
    // stored record (tombstones name none: their slot went back) or listed
    // free exactly once, never both; the stored free list is the one in
    // memory; nothing beyond the file is listed.
    static void expect_every_slot_accounted_for(Collection& c) {
        ASSERT_EQ(buffered(c), 0u);
        const std::uint64_t count = Access::slot_count(c);
        const std::vector<std::uint64_t> free = Access::free_slots(c);
        auto txn = begin_read_txn(Access::meta_db(c));
        ASSERT_TRUE(txn);
        EXPECT_EQ(load_freelist(*txn)->entries(), free) << "the stored free list differs from the one in memory";
        std::map<std::uint64_t, std::string> owner;
        ASSERT_TRUE(for_each_record(*txn, [&](const RecordView& r) -> Status {
            if (r.state == RecordState::Tombstone) return {};
            auto [it, fresh] = owner.emplace(r.slot, std::string(r.id));
            EXPECT_TRUE(fresh) << "slot " << r.slot << " named by " << it->second << " and " << r.id;
            return {};
        }));
        std::set<std::uint64_t> listed;
        for (std::uint64_t slot : free) {
            EXPECT_TRUE(listed.insert(slot).second) << "slot " << slot << " listed free twice";
            EXPECT_LT(slot, count) << "slot " << slot << " beyond the file listed free";
            EXPECT_FALSE(owner.contains(slot)) << "slot " << slot << " named by " << owner[slot] << " and free";
        }
        for (std::uint64_t slot = 0; slot < count; ++slot)
            EXPECT_TRUE(owner.contains(slot) || listed.contains(slot)) << "slot " << slot << " orphaned";
    }

    static BatchInput batch_of(const std::vector<std::string>& ids, float value) {
        BatchInput b;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            b.rows.push_back({value, float(i)});
            b.metadata.push_back(json("{}"));
        }
        b.ids = ids;
        return b;
    }
};

TEST_F(ReplacedSlotTest, ReAddingAcrossSyncsReusesSlots) {
    constexpr int kIds = 5;
    auto core = open();
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        hold_buffer(*core);
        for (int i = 0; i < kIds; ++i) add(*core, {float(round), float(i)}, "x" + std::to_string(i));
        // Every third round queues each identifier twice in one flush.
        if (round % 3 == 2)
            for (int i = 0; i < kIds; ++i) add(*core, {float(round), float(i)}, "x" + std::to_string(i));
        ASSERT_TRUE(sync_collection(*core));
        EXPECT_EQ(stored_count(*core), std::size_t{kIds});
        EXPECT_LE(Access::slot_count(*core), std::uint64_t{3 * kIds});
        expect_every_slot_accounted_for(*core);
    }
    EXPECT_EQ(*collection_len(*core), std::uint64_t{kIds});
}

TEST_F(ReplacedSlotTest, BatchesWithRepeatedAndStoredIdentifiersReuseSlots) {
    auto core = open();
    add(*core, {9, 9}, "a");
    ASSERT_TRUE(sync_collection(*core));
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        auto ids = add_batch_records(*core, batch_of({"a", "b", "a", "c", "b"}, float(round)));
        ASSERT_TRUE(ids) << ids.error().message();
        EXPECT_EQ(ids->size(), 5u);
        EXPECT_EQ(stored_count(*core), 3u);
        EXPECT_LE(Access::slot_count(*core), 10u);
        expect_every_slot_accounted_for(*core);
        // The later row of a repeated identifier is the one stored, with its vector.
        auto a = stored(*core, "a");
        ASSERT_TRUE(a);
        EXPECT_EQ(a->state, RecordState::Active);
        EXPECT_EQ(*Access::read_slot(*core, a->slot), (std::vector<float>{float(round), 2}));
    }
    // A buffered add of a batch's identifier replaces the batch's record when it is flushed.
    add(*core, {7, 7}, "c");
    ASSERT_TRUE(sync_collection(*core));
    expect_every_slot_accounted_for(*core);
    EXPECT_EQ(*Access::read_slot(*core, stored(*core, "c")->slot), (std::vector<float>{7, 7}));
}

// The batch stores its records in identifier order, yet the replaced slots
// go back in batch order, as storing row by row gives them back: the free
// list (and so which slot each later add takes) is the same.
TEST_F(ReplacedSlotTest, ABatchGivesReplacedSlotsBackInBatchOrder) {
    const std::vector<std::string> ids = {"z", "b", "m", "a"};
    auto core = open();
    ASSERT_TRUE(add_batch_records(*core, batch_of(ids, 1)));
    std::map<std::string, std::uint64_t> before;
    for (const auto& id : ids) before[id] = stored(*core, id)->slot;

    ASSERT_TRUE(add_batch_records(*core, batch_of({"m", "z", "a", "q", "b", "m"}, 2)));
    // m's first row replaces m's stored record, its second row that first
    // row's record (the first slot this batch appended).
    const std::uint64_t m_first_row = ids.size();
    EXPECT_EQ(Access::free_slots(*core),
              (std::vector<std::uint64_t>{before["m"], before["z"], before["a"], before["b"], m_first_row}));
    EXPECT_EQ(*Access::read_slot(*core, stored(*core, "m")->slot), (std::vector<float>{2, 5}));
    EXPECT_EQ(*Access::read_slot(*core, stored(*core, "q")->slot), (std::vector<float>{2, 3}));
    expect_every_slot_accounted_for(*core);
}

// A slot a commit lists free is in every list stored after it, also the one
// a second writer commits before the first has handed the slot out; no add
// takes it until then. (Else a restart would find the slot orphaned.)
TEST_F(ReplacedSlotTest, ASlotListedFreeByACommitStaysListedUntilItIsHandedOut) {
    auto core = open();
    for (const char* id : {"a", "b", "c"}) add(*core, {1, 1}, id);
    ASSERT_TRUE(sync_collection(*core));
    ASSERT_TRUE(Access::store_free_list(*core, {0}));
    ASSERT_TRUE(Access::store_free_list(*core, {1}));
    {
        auto txn = begin_read_txn(Access::meta_db(*core));
        EXPECT_EQ(load_freelist(*txn)->entries(), (std::vector<std::uint64_t>{0, 1}));
    }
    EXPECT_EQ(Access::free_slots(*core), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(*allocate_slot(*core), 3u);
    release_slot(*core, 0);
    EXPECT_EQ(*allocate_slot(*core), 0u);
    EXPECT_EQ(Access::free_slots(*core), (std::vector<std::uint64_t>{1}));
}

// Batches from several threads that store the same identifiers, each in its
// own order and with repeats, orphan no slot and hand none to two records.
TEST_F(ReplacedSlotTest, ConcurrentBatchesOfTheSameIdentifiersAccountForEverySlot) {
    auto core = open();
    const std::vector<std::vector<std::string>> orders = {
        {"h", "a", "d", "a", "c"}, {"b", "c", "e", "f", "g", "h"}, {"g", "f", "a", "b", "b"}, {"e", "d", "c", "h"}};
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (std::size_t t = 0; t < orders.size(); ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round)
                if (!add_batch_records(*core, batch_of(orders[t], float(t)))) failures.fetch_add(1);
        });
    // And single adds of them, flushed as they come.
    threads.emplace_back([&] {
        for (int round = 0; round < 25; ++round) {
            for (const char* id : {"c", "a", "g"}) add(*core, {9, 9}, id);
            if (!flush_pending(*core)) failures.fetch_add(1);
        }
    });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(stored_count(*core), 8u);
    EXPECT_LE(Access::slot_count(*core), 8u + 5 * 6 * 2);
    expect_every_slot_accounted_for(*core);
}

// What a flush does with the slot of the record it replaces, for each kind of
// record stored under the identifier.
TEST_F(ReplacedSlotTest, AFlushGivesBackTheReplacedRecordsSlotAsADeleteWould) {
    struct Case {
        const char* name;
        RecordState state;
        std::optional<std::uint64_t> ttl;
        bool beyond_the_file;
        bool given_back;
    } cases[] = {
        {"active", RecordState::Active, std::nullopt, false, true},
        {"expired", RecordState::Active, 0, false, true},
        {"pending (left by a failed batch)", RecordState::Pending, std::nullopt, false, true},
        {"tombstone (its slot went back already)", RecordState::Tombstone, std::nullopt, false, false},
        {"slot beyond the file", RecordState::Active, std::nullopt, true, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto core = open_collection(dir / std::to_string(n++), CollectionConfig{"c", 2, Metric::L2, 0, std::nullopt});
        ASSERT_TRUE(core);
        Collection& col = **core;
        add(col, {1, 1}, "x", "{}", c.ttl);
        ASSERT_TRUE(sync_collection(col));
        Record old = *stored(col, "x");
        if (c.state == RecordState::Tombstone) {
            // As a delete whose second transaction failed leaves it: the slot
            // free and since handed to another record.
            old.state = RecordState::Tombstone;
            put_raw(col, old);
            Access::give_back_slot(col, old.slot);
            add(col, {5, 5}, "other");
            ASSERT_TRUE(sync_collection(col));
            ASSERT_EQ(stored(col, "other")->slot, old.slot);
        } else if (c.beyond_the_file) {
            old.slot = 40;
            put_raw(col, old);
            Access::give_back_slot(col, 0);
        } else {
            old.state = c.state;
            put_raw(col, old);
        }

        hold_buffer(col);
        add(col, {2, 2}, "x", R"({"new":true})");
        // Until the flush, the stored record and the buffered one are both there.
        if (c.state == RecordState::Active && !c.ttl && !c.beyond_the_file) {
            EXPECT_EQ(search_collection(col, std::vector<float>{1, 1}, 10, nullptr)->size(), 2u);
        }
        ASSERT_TRUE(flush_pending(col));

        const Record now = *stored(col, "x");
        EXPECT_EQ(now.metadata, R"({"new":true})");
        EXPECT_NE(now.slot, old.slot);
        const std::vector<std::uint64_t> free = Access::free_slots(col);
        const bool listed = std::find(free.begin(), free.end(), old.slot) != free.end();
        EXPECT_EQ(listed, c.given_back);
        if (c.given_back) {
            EXPECT_TRUE(marked_deleted(col, old.slot));
            EXPECT_EQ(*allocate_slot(col), old.slot);  // the next add takes it
            Access::give_back_slot(col, old.slot);
        }
        if (c.state == RecordState::Tombstone) {
            EXPECT_EQ(first_of(col, old.slot), 5.0f);
        }
        expect_every_slot_accounted_for(col);
        EXPECT_EQ(*collection_len(col), c.state == RecordState::Tombstone ? 2u : 1u);
    }
}

TEST_F(ReplacedSlotTest, TheReplacedSlotIsHiddenFromTheGraph) {
    auto opened = open_collection(dir / "h", CollectionConfig{"h", 2, Metric::L2, 0, HnswConfig{8, 16, 8, 50, 20, 0.5, 0}});
    ASSERT_TRUE(opened);
    Collection& core = **opened;
    for (int i = 0; i < 20; ++i) add(core, {float(i), 1}, "r" + std::to_string(i));
    ASSERT_TRUE(sync_collection(core));
    ASSERT_TRUE(Access::index(core));
    const std::uint64_t old_slot = stored(core, "r3")->slot;
    ASSERT_TRUE(Access::index(core)->graph.slot_to_node.contains(old_slot));

    Access::index_dirty(core).store(false);
    add(core, {3, 1}, "r3", R"({"v":2})");
    ASSERT_TRUE(flush_pending(core));
    EXPECT_TRUE(Access::index_dirty(core).load());
    EXPECT_TRUE(Access::index(core)->deleted_slots.contains(old_slot));
    EXPECT_FALSE(Access::index(core)->graph.slot_to_node.contains(old_slot));

    auto hits = search_collection(core, std::vector<float>{3, 1}, 3, nullptr);
    ASSERT_TRUE(hits);
    ASSERT_FALSE(hits->empty());
    EXPECT_EQ((*hits)[0].id, "r3");
    int r3 = 0;
    for (const auto& h : *hits) r3 += h.id == "r3";
    EXPECT_EQ(r3, 1);
    ASSERT_TRUE(sync_collection(core));
    expect_every_slot_accounted_for(core);
}

}  // namespace
}  // namespace tessello
