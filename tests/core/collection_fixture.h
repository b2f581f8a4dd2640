#pragma once
// A collection in a fresh directory, with small helpers to add records, write
// raw records into its table and look at what is stored.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/insert.h"
#include "json/json_reader.h"
#include "storage/records_table.h"
#include "temp_dir.h"

namespace tessello::testing {

class CollectionFixture : public ::testing::Test {
protected:
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

    // Keeps the age rule from flushing: a first-queued time in the future
    // counts as age 0, so only the batch size or an explicit flush writes.
    static void hold_buffer(Collection& c) {
        c.first_pending_ms.store(std::numeric_limits<std::uint64_t>::max() / 2);
    }
    // Makes the next add find the buffer old enough to flush.
    static void age_buffer(Collection& c) { c.first_pending_ms.store(1); }

    static std::optional<Record> stored(Collection& c, std::string_view id) {
        auto txn = begin_read_txn(*c.meta_db);
        return *get_record(*txn, id);
    }

    static std::size_t stored_count(Collection& c) {
        auto txn = begin_read_txn(*c.meta_db);
        auto cursor = txn->scan(kRecordsTable);
        std::size_t n = 0;
        while (*cursor->next()) ++n;
        return n;
    }

    static void put_raw(Collection& c, const Record& r) {
        auto w = begin_write_txn(*c.meta_db);
        ASSERT_TRUE(put_record(*w, r));
        ASSERT_TRUE(w->commit());
    }

    static std::size_t buffered(Collection& c) {
        std::lock_guard lock(c.pending_lock);
        return c.pending.size();
    }

    TempDir dir;
};

}  // namespace tessello::testing
