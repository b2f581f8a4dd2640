#pragma once
// A collection in a fresh directory, with small helpers to add records, write
// raw records into its table and look at what is stored, and the one door
// through which tests look at a core's private state (CollectionTestAccess).
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "base/clock.h"
#include "collection/collection.h"
#include "collection/insert.h"
#include "json/json_reader.h"
#include "storage/records_table.h"
#include "temp_dir.h"

namespace tessello {

// What tests inspect inside a core, each read under the lock that guards it.
struct CollectionTestAccess {
    static KvStore& meta_db(Collection& c) { return *c.meta_db_; }
    static std::uint64_t batch_size(const Collection& c) { return c.batch_size_; }
    static std::uint64_t flush_interval_ms(const Collection& c) { return c.flush_interval_ms_; }
    static std::uint64_t first_pending_ms(const Collection& c) { return c.first_pending_ms_.load(); }
    static std::atomic<bool>& index_dirty(Collection& c) { return c.index_dirty_; }
    // The graph in place now (null: none). Tests look at it while no other
    // thread changes the core.
    static HnswIndex* index(Collection& c) { return c.index_.shared()->get(); }

    // Every buffered entry in queue order, those a flush is writing first.
    static std::vector<PendingWrite> pending(Collection& c) {
        std::vector<PendingWrite> out;
        c.pending_.exclusive()->for_each([&](const PendingWrite& w) { out.push_back(w); });
        return out;
    }
    static std::vector<std::uint64_t> free_slots(Collection& c) { return c.free_list_.shared()->entries(); }
    static void give_back_slot(Collection& c, std::uint64_t slot) { c.give_back_slot(slot); }
    // One write transaction that stores the free list with `also` in it, as
    // the commit of a delete of the records at those slots does.
    static Status store_free_list(Collection& c, std::vector<std::uint64_t> also) {
        return c.write_txn([&](WriteTxn& txn) { return c.persist_free_list(txn, also); });
    }

    static std::uint64_t slot_count(Collection& c) { return c.vector_store_.shared()->slot_count(); }
    // A copy of the slot's vector; the error of a slot that is not allocated.
    static Result<std::vector<float>> read_slot(Collection& c, std::uint64_t slot) {
        auto vectors = c.vector_store_.shared();
        auto v = vectors->read_slot(slot);
        if (!v) return fail(v.error());
        return std::vector<float>(v->begin(), v->end());
    }

    // The core's own guards and transactions, for tests of the lock order;
    // a broken rule names the test's line.
    using Here = std::source_location;
    static auto vectors_shared(Collection& c, Here at = Here::current()) { return c.vector_store_.shared(at); }
    static auto free_list_exclusive(Collection& c, Here at = Here::current()) { return c.free_list_.exclusive(at); }
    static auto pending_exclusive(Collection& c, Here at = Here::current()) { return c.pending_.exclusive(at); }
    static auto index_shared(Collection& c, Here at = Here::current()) { return c.index_.shared(at); }
    static auto index_exclusive(Collection& c, Here at = Here::current()) { return c.index_.exclusive(at); }
    static Result<CoreReadTxn> read_txn(Collection& c, Here at = Here::current()) { return c.read_txn(at); }
    static auto visibility_shared(Collection& c, Here at = Here::current()) { return c.visibility_.shared(at); }
    static auto flush_exclusive(Collection& c, Here at = Here::current()) { return c.flush_.exclusive(at); }
    static auto mirror_shared(Collection& c, Here at = Here::current()) { return c.mirror_.shared(at); }
    static auto mirror_exclusive(Collection& c, Here at = Here::current()) { return c.mirror_.exclusive(at); }
};

namespace testing {

class CollectionFixture : public ::testing::Test {
protected:
    using Access = CollectionTestAccess;

    CollectionHandle open(std::uint64_t dims = 2, Metric metric = Metric::L2) {
        auto core = open_collection(dir / "c", CollectionConfig{"c", dims, metric, 0, std::nullopt});
        EXPECT_TRUE(core) << (core ? "" : core.error().message());
        return core ? *core : nullptr;
    }

    static JsonValue json(std::string_view text) { return *parse_json(text); }

    static std::string add(Collection& c, std::vector<float> v, std::optional<std::string> id = std::nullopt,
                           std::string_view metadata = "{}", std::optional<std::uint64_t> ttl = std::nullopt) {
        auto r = insert_record(c, v, json(metadata), std::move(id), ttl);
        EXPECT_TRUE(r) << (r ? "" : r.error().message());
        return r ? *r : "";
    }

    // Keeps the age rule from flushing: from here on the test's clock stands
    // still unless the test moves it, so only the batch size or an explicit
    // flush writes. Called while no other thread of the test runs.
    void hold_buffer(Collection&) {
        if (!installed) installed.emplace(clock);
    }
    // Makes the next add find the buffer old enough to flush.
    void age_buffer(Collection& c) {
        hold_buffer(c);
        clock.advance_ms(Access::flush_interval_ms(c));
    }

    static std::optional<Record> stored(Collection& c, std::string_view id) {
        auto txn = begin_read_txn(Access::meta_db(c));
        return *get_record(*txn, id);
    }

    static std::size_t stored_count(Collection& c) {
        auto txn = begin_read_txn(Access::meta_db(c));
        auto cursor = txn->scan(kRecordsTable);
        std::size_t n = 0;
        while (*cursor->next()) ++n;
        return n;
    }

    static void put_raw(Collection& c, const Record& r) {
        auto w = begin_write_txn(Access::meta_db(c));
        ASSERT_TRUE(put_record(*w, r));
        ASSERT_TRUE(w->commit());
    }

    static std::size_t buffered(Collection& c) { return Access::pending(c).size(); }

    // The first component of a slot's vector (the slot must be allocated).
    static float first_of(Collection& c, std::uint64_t slot) { return (*Access::read_slot(c, slot))[0]; }
    static bool marked_deleted(Collection& c, std::uint64_t slot) {
        return is_deleted_mark(*Access::read_slot(c, slot));
    }

    // Declared before the directory, so the clock in use outlives every core
    // the test opened (their last flush reads it).
    ManualClock clock;
    std::optional<ScopedClock> installed;
    TempDir dir;
};

}  // namespace testing
}  // namespace tessello
