#include "storage/records_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "base/utf8.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

Record record(std::string id, std::uint64_t slot = 0, std::optional<std::uint64_t> expires = std::nullopt,
              RecordState state = RecordState::Active) {
    return Record{std::move(id), slot, "{}", 1700000000, expires, state};
}

TEST(RecordCodecTest, LayoutAndLength) {
    Record r{"a", 7, "{}", 5, std::nullopt, RecordState::Active};
    auto bytes = encode_record(r);
    const std::vector<std::uint8_t> expected = {
        1, 0, 0, 0, 0, 0, 0, 0, 'a',           // id
        7, 0, 0, 0, 0, 0, 0, 0,                // slot
        2, 0, 0, 0, 0, 0, 0, 0, '{', '}',      // metadata
        5, 0, 0, 0, 0, 0, 0, 0,                // created_at
        0,                                     // no expiry
        0, 0, 0, 0};                           // Active
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(bytes.size(), 40u);
    r.expires_at = 9;
    r.state = RecordState::Tombstone;
    bytes = encode_record(r);
    EXPECT_EQ(bytes.size(), 48u);
    EXPECT_EQ(bytes[35], 1);
    EXPECT_EQ(bytes[36], 9);
    EXPECT_EQ(bytes[44], 2);
    EXPECT_EQ(*decode_record(bytes), r);
}

TEST(RecordCodecTest, TrailingBytesAreIgnored) {
    const Record r{"id", 3, "{\"k\":1}", 11, 12, RecordState::Pending};
    auto bytes = encode_record(r);
    bytes.insert(bytes.end(), {9, 9, 9});
    EXPECT_EQ(*decode_record(bytes), r);
}

TEST(RecordCodecTest, DecoderMessages) {
    const auto good = encode_record(Record{"ab", 1, "{}", 2, 3, RecordState::Active});
    auto with = [&](std::size_t at, std::uint8_t v) {
        auto b = good;
        b[at] = v;
        return b;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string message;
    } cases[] = {
        {"empty", {}, "Serialization error: io error: unexpected end of file"},
        {"cut in slot", {good.begin(), good.begin() + 12}, "Serialization error: io error: unexpected end of file"},
        {"id longer than value", with(0, 200), "Serialization error: io error: "},
        {"id not utf8", with(8, 0xFF),
         "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"id ends inside a sequence", with(9, 0xE2),
         "Serialization error: string is not valid utf8: incomplete utf-8 byte sequence from index 1"},
        {"tag 2", with(36, 2), "Serialization error: tag for enum is not valid, found 2"},
        {"state 3", with(45, 3),
         "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
        {"cut in state", {good.begin(), good.end() - 1}, "Serialization error: io error: unexpected end of file"},
    };
    for (const auto& c : cases) {
        auto r = decode_record(c.bytes);
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().message(), c.message) << c.name;
    }
}

TEST(Utf8ErrorTest, SequenceLengthsAndOffsets) {
    struct Case {
        std::string bytes;
        const char* error;  // nullptr: valid
    } cases[] = {
        {"plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", nullptr},
        {"a\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
        {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xe2\x82x", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xf0\x9f\x98x", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ab\xf0\x9f", "incomplete utf-8 byte sequence from index 2"},
        {"\xe2", "incomplete utf-8 byte sequence from index 0"},
    };
    for (const auto& c : cases) {
        auto e = utf8_error(c.bytes);
        if (!c.error)
            EXPECT_FALSE(e) << *e;
        else
            EXPECT_EQ(e.value_or("valid"), c.error);
    }
}

TEST(LivenessTest, ExpiryIsExclusiveAndOnlyActiveRecordsLive) {
    const std::uint64_t now = now_unix_secs();
    EXPECT_GT(now, 1700000000u);
    EXPECT_TRUE(is_record_live(record("a"), now));
    EXPECT_FALSE(is_record_live(record("a", 0, now), now));
    EXPECT_TRUE(is_record_live(record("a", 0, now + 2), now));
    EXPECT_FALSE(is_record_live(record("a", 0, 0), now));
    EXPECT_FALSE(is_record_live(record("a", 0, std::nullopt, RecordState::Pending), now));
    EXPECT_FALSE(is_record_live(record("a", 0, now + 100, RecordState::Tombstone), now));
    // The same test on a view of the stored bytes, at a second of the caller's choosing.
    const std::vector<std::uint8_t> bytes = encode_record(record("a", 0, 1000));
    const RecordView view = *decode_record_view(bytes);
    EXPECT_TRUE(is_record_live(view, 999));
    EXPECT_FALSE(is_record_live(view, 1000));
    EXPECT_FALSE(is_expired_at(std::nullopt, std::numeric_limits<std::uint64_t>::max()));
    EXPECT_TRUE(is_expired_at(0, 0));
}

class RecordsTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto s = KvStore::open(dir / "meta.redb", {kRecordsTable});
        ASSERT_TRUE(s);
        db = std::move(*s);
    }
    void store(std::initializer_list<Record> records) {
        auto w = begin_write_txn(*db);
        for (const auto& r : records) ASSERT_TRUE(put_record(*w, r));
        ASSERT_TRUE(w->commit());
    }
    TempDir dir;
    std::unique_ptr<KvStore> db;
};

TEST_F(RecordsTableTest, NeverWrittenTableCountsZeroAndFindsNothing) {
    auto r = begin_read_txn(*db);
    EXPECT_EQ(*count_live_records(*r), 0u);
    EXPECT_FALSE(get_record(*r, "x")->has_value());
    EXPECT_FALSE(get_record(*r, "")->has_value());
}

TEST_F(RecordsTableTest, PutReplacesGetReturnsWhateverState) {
    store({record("a", 1), record("b", 2, std::nullopt, RecordState::Tombstone)});
    store({record("a", 5)});
    auto r = begin_read_txn(*db);
    EXPECT_EQ((*get_record(*r, "a"))->slot, 5u);
    EXPECT_EQ((*get_record(*r, "b"))->state, RecordState::Tombstone);
}

TEST_F(RecordsTableTest, CountsOnlyLiveRecords) {
    const std::uint64_t now = now_unix_secs();
    store({record("live"), record("later", 0, now + 100), record("expired", 0, now),
           record("pending", 0, std::nullopt, RecordState::Pending),
           record("tomb", 0, std::nullopt, RecordState::Tombstone)});
    auto r = begin_read_txn(*db);
    EXPECT_EQ(*count_live_records(*r), 2u);
}

TEST_F(RecordsTableTest, CountStopsAtAValueThatDoesNotDecode) {
    store({record("a")});
    {
        auto w = begin_write_txn(*db);
        const std::uint8_t junk[] = {1, 2, 3};
        ASSERT_TRUE(w->put(kRecordsTable, "b", junk));
        ASSERT_TRUE(w->commit());
    }
    auto r = begin_read_txn(*db);
    auto n = count_live_records(*r);
    ASSERT_FALSE(n);
    EXPECT_EQ(n.error().kind(), StoreError::Serialization);
}

TEST_F(RecordsTableTest, SetStateSeesWhatItsTransactionSees) {
    store({record("a")});
    auto w = begin_write_txn(*db);
    EXPECT_FALSE(*set_record_state(*w, "absent", RecordState::Tombstone));
    ASSERT_TRUE(put_record(*w, record("uncommitted")));
    EXPECT_TRUE(*set_record_state(*w, "uncommitted", RecordState::Pending));
    EXPECT_TRUE(*set_record_state(*w, "a", RecordState::Tombstone));
    ASSERT_TRUE(w->commit());
    auto r = begin_read_txn(*db);
    EXPECT_EQ((*get_record(*r, "a"))->state, RecordState::Tombstone);
    EXPECT_EQ((*get_record(*r, "uncommitted"))->state, RecordState::Pending);
    EXPECT_FALSE(get_record(*r, "absent")->has_value());
}

// The writer's one-lookup paths store exactly what get then put_record and
// set_record_state store, whatever is there before: nothing, a record, a
// record with bytes after its state (dropped by the rewrite), or a value that
// does not decode (its error, and nothing written).
TEST_F(RecordsTableTest, WriterOneLookupPathsStoreWhatGetThenPutStores) {
    auto encoded = [](const Record& r) {
        auto b = encode_record(r);
        return std::string(b.begin(), b.end());
    };
    auto as_bytes = [](const std::string& v) { return Bytes(reinterpret_cast<const std::uint8_t*>(v.data()), v.size()); };
    const Record before = record("k", 7, 1800000000, RecordState::Pending);
    struct Case {
        const char* name;
        std::optional<std::string> stored;
        bool decodes;
    };
    const Case cases[] = {
        {"absent", std::nullopt, true},
        {"a record", encoded(before), true},
        {"bytes after the state", encoded(before) + "xyz", true},
        {"undecodable", std::string("\x01\x02\x03"), false},
    };
    const Record next = record("k", 9);
    auto stored_now = [&] {
        auto r = begin_read_txn(*db);
        auto v = r->get(kRecordsTable, "k");
        return *v ? std::optional(std::string((*v)->begin(), (*v)->end())) : std::nullopt;
    };
    // Runs body in a transaction that starts from the case's stored value.
    auto from = [&](const Case& c, auto&& body) {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(remove_record(*w, "k"));
        if (c.stored) {
            ASSERT_TRUE(w->put(kRecordsTable, "k", as_bytes(*c.stored)));
        }
        body(*w);
        ASSERT_TRUE(w->commit());
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        from(c, [&](WriteTxn& w) {
            auto table = RecordsWriter::open(w);
            ASSERT_TRUE(table);
            auto replaced = table->put_replacing(next);
            ASSERT_EQ(bool(replaced), c.decodes);
            if (!replaced) {
                EXPECT_EQ(replaced.error().kind(), StoreError::Serialization);
                return;
            }
            ASSERT_EQ(replaced->has_value(), c.stored.has_value());
            if (*replaced) {
                EXPECT_EQ((*replaced)->slot, before.slot);
                EXPECT_EQ((*replaced)->state, before.state);
            }
        });
        EXPECT_EQ(stored_now(), c.decodes ? std::optional(encoded(next)) : c.stored);

        if (!c.decodes) {
            from(c, [&](WriteTxn& w) {
                auto table = RecordsWriter::open(w);
                ASSERT_TRUE(table);
                auto found = table->find("k");
                ASSERT_FALSE(found);
                EXPECT_EQ(found.error().kind(), StoreError::Serialization);
            });
            continue;
        }
        from(c, [&](WriteTxn& w) { ASSERT_TRUE(set_record_state(w, "k", RecordState::Active)); });
        const auto by_set_state = stored_now();
        from(c, [&](WriteTxn& w) {
            auto table = RecordsWriter::open(w);
            ASSERT_TRUE(table);
            auto found = table->find("k");
            ASSERT_TRUE(found);
            ASSERT_EQ(found->has_value(), c.stored.has_value());
            if (!*found) return;
            RecordView v = **found;
            v.state = RecordState::Active;
            ASSERT_TRUE(table->replace_found("k", v));
        });
        EXPECT_EQ(stored_now(), by_set_state);
    }
}

TEST_F(RecordsTableTest, RemoveReportsPresence) {
    store({record("a")});
    auto w = begin_write_txn(*db);
    EXPECT_TRUE(*remove_record(*w, "a"));
    EXPECT_FALSE(*remove_record(*w, "a"));
    ASSERT_TRUE(w->commit());
    auto r = begin_read_txn(*db);
    EXPECT_FALSE(get_record(*r, "a")->has_value());
}

// The batch order is the order a stable sort by identifier bytes gives:
// identifiers that share their first eight bytes, that are prefixes of each
// other, hold NUL or bytes above 0x7F, and that repeat.
TEST(InIdOrderTest, IsAStableSortByIdentifierBytes) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"b", "a", "b", "a"},
        {"abcdefgh2", "abcdefgh1", "abcdefgh", "abcdefg", "abcdefgh1", "abcdefgh\x01"},
        {std::string("a\0b", 3), "a", std::string("a\0", 2), std::string("a\0a", 3), "a"},
        {"\xc3\xa9t\xc3\xa9", "zz", "\x7f", "\xff\xff", "\xc3\xa9", "z"},
        {"10", "9", "100", "1", "99", "10"},
    };
    for (const auto& ids : cases) {
        std::vector<std::size_t> expected(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) expected[i] = i;
        std::stable_sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
            return std::string_view(ids[a]) < std::string_view(ids[b]);
        });
        EXPECT_EQ(in_id_order(ids.size(), [&](std::size_t i) -> const std::string& { return ids[i]; }), expected);
    }
}

}  // namespace
}  // namespace tessello
