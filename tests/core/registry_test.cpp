#include "storage/registry.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

CollectionConfig abc() { return CollectionConfig{"abc", 3, Metric::Dot, 0, std::nullopt}; }

const std::vector<std::uint8_t> kAbcBytes = {0x03, 0, 0, 0, 0, 0, 0, 0, 0x61, 0x62, 0x63, 0x03, 0, 0, 0, 0,
                                             0,    0, 0, 1, 0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0};

TEST(CollectionConfigCodecTest, EncodesTheDocumentedBytes) {
    EXPECT_EQ(encode_collection_config(abc()), kAbcBytes);
    auto with_hnsw = abc();
    with_hnsw.hnsw = HnswConfig{16, 32, 16, 200, 50, 1.0 / std::log(16.0), 7};
    auto bytes = encode_collection_config(with_hnsw);
    EXPECT_EQ(bytes.size(), 88u);
    EXPECT_EQ(bytes[31], 1);
    auto back = decode_collection_config(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, "abc");
    ASSERT_TRUE(back->hnsw);
    EXPECT_TRUE(same_hnsw_config(*back->hnsw, *with_hnsw.hnsw));
}

TEST(CollectionConfigCodecTest, ExtraBytesAreIgnored) {
    auto bytes = kAbcBytes;
    bytes.insert(bytes.end(), {1, 2, 3});
    auto c = decode_collection_config(bytes);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name, "abc");
    EXPECT_EQ(c->dimensions, 3u);
    EXPECT_EQ(c->metric, Metric::Dot);
    EXPECT_FALSE(c->hnsw);
}

TEST(CollectionConfigCodecTest, DecoderMessages) {
    auto with = [](std::size_t at, std::uint8_t v) {
        auto b = kAbcBytes;
        b[at] = v;
        return b;
    };
    auto cut = [](std::size_t n) { return std::vector<std::uint8_t>(kAbcBytes.begin(), kAbcBytes.begin() + n); };
    auto tagged = kAbcBytes;
    tagged[31] = 1;
    tagged.resize(32 + 55);  // one byte short of the HNSW parameters
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* text;
    } cases[] = {
        {"metric 3", with(19, 3), "invalid value: integer `3`, expected variant index 0 <= i < 3"},
        {"tag 2", with(31, 2), "tag for enum is not valid, found 2"},
        {"cut to 10 bytes", cut(10), "io error: "},
        {"cut in length", cut(5), "io error: unexpected end of file"},
        {"cut in dimensions", cut(12), "io error: unexpected end of file"},
        {"cut in metric", cut(21), "io error: unexpected end of file"},
        {"cut in created_at", cut(29), "io error: unexpected end of file"},
        {"cut before tag", cut(31), "io error: unexpected end of file"},
        {"cut in hnsw", tagged, "io error: unexpected end of file"},
        {"bad utf8", with(9, 0xC3), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
        {"incomplete utf8", with(10, 0xF0), "string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
    };
    for (const auto& c : cases) {
        auto r = decode_collection_config(c.bytes);
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().message(), std::string("Serialization error: ") + c.text) << c.name;
    }
}

TEST(HnswConfigCodecTest, FiftySixBytesKeptBitForBit) {
    const HnswConfig c{1, 2, 3, 4, 5, std::bit_cast<double>(0x7FF8000000001234ull), 0xFFFFFFFFFFFFFFFFull};
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    write_hnsw_config(c, w);
    ASSERT_EQ(out.size(), 56u);
    out.insert(out.end(), {9, 9, 9, 9});
    ByteReader in(out);
    auto back = decode_hnsw_config(in);
    ASSERT_TRUE(back);
    EXPECT_TRUE(same_hnsw_config(*back, c));
    EXPECT_EQ(in.remaining(), 4u);
    ByteReader short_in(Bytes(out.data(), 55));
    EXPECT_EQ(decode_hnsw_config(short_in).error().message(),
              "Serialization error: io error: unexpected end of file");
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { db = std::move(*KvStore::open(dir / "meta.redb", {kCollectionsTable})); }
    void save(const CollectionConfig& c) {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(save_collection_config(*w, c));
        ASSERT_TRUE(w->commit());
    }
    std::optional<CollectionConfig> load(std::string_view name) {
        auto r = begin_read_txn(*db);
        return *load_collection_config(*r, name);
    }
    TempDir dir;
    std::unique_ptr<KvStore> db;
};

TEST_F(RegistryTest, NewRegistryIsEmptyUntilTheFirstCommit) {
    EXPECT_FALSE(load("abc"));
    EXPECT_TRUE(list_collection_names(*db)->empty());
    save(abc());
    ASSERT_TRUE(load("abc"));
    EXPECT_EQ(*list_collection_names(*db), std::vector<std::string>{"abc"});
}

TEST_F(RegistryTest, NamesAreExactBytesListedInByteOrder) {
    for (const char* n : {"b", "\xc3\xa9t\xc3\xa9", "Zeta", "abc", "ABC"}) {
        auto c = abc();
        c.name = n;
        save(c);
    }
    EXPECT_EQ(*list_collection_names(*db),
              (std::vector<std::string>{"ABC", "Zeta", "abc", "b", "\xc3\xa9t\xc3\xa9"}));
    EXPECT_FALSE(load("Abc"));
}

TEST_F(RegistryTest, SaveReplacesAndDeleteReports) {
    save(abc());
    auto other = abc();
    other.dimensions = 9;
    save(other);
    EXPECT_EQ(load("abc")->dimensions, 9u);
    auto w = begin_write_txn(*db);
    EXPECT_FALSE(*delete_collection_config(*w, "nope"));
    EXPECT_TRUE(*delete_collection_config(*w, "abc"));
    ASSERT_TRUE(w->commit());
    EXPECT_FALSE(load("abc"));
}

TEST_F(RegistryTest, UndecodableEntryIsReportedNotRepaired) {
    auto w = begin_write_txn(*db);
    auto bytes = kAbcBytes;
    bytes[19] = 7;
    ASSERT_TRUE(w->put(kCollectionsTable, "abc", bytes));
    ASSERT_TRUE(w->commit());
    auto r = begin_read_txn(*db);
    auto c = load_collection_config(*r, "abc");
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().kind(), StoreError::Serialization);
    EXPECT_EQ(*list_collection_names(*db), std::vector<std::string>{"abc"});
}

TEST_F(RegistryTest, KeyThatIsNotUtf8IsAnErrorNotACrash) {
    auto w = begin_write_txn(*db);
    ASSERT_TRUE(w->put(kCollectionsTable, "ok", kAbcBytes));
    ASSERT_TRUE(w->put(kCollectionsTable, "bad\xff", kAbcBytes));
    ASSERT_TRUE(w->commit());
    auto names = list_collection_names(*db);
    ASSERT_FALSE(names);
    EXPECT_EQ(names.error().message(),
              "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 3");
}

}  // namespace
}  // namespace tessello
