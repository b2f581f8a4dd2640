#include "storage/freelist.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

TEST(FreeListTest, LastInFirstOut) {
    FreeList list;
    EXPECT_TRUE(list.push_if_absent(4));
    EXPECT_TRUE(list.push_if_absent(9));
    EXPECT_TRUE(list.contains(4));
    EXPECT_EQ(list.take_last(), 9u);
    EXPECT_FALSE(list.contains(9));
    EXPECT_EQ(list.take_last(), 4u);
    EXPECT_EQ(list.take_last(), std::nullopt);
}

TEST(FreeListTest, ASlotIsPushedOnlyWhenAbsentAndKeepsItsPlace) {
    FreeList list;
    for (std::uint64_t s : {5, 2, 7}) EXPECT_TRUE(list.push_if_absent(s));
    EXPECT_FALSE(list.push_if_absent(2));
    EXPECT_EQ(list.entries(), (std::vector<std::uint64_t>{5, 2, 7}));
    // Taken and given back: listed again, at the end.
    EXPECT_EQ(list.take_last(), 7u);
    EXPECT_TRUE(list.push_if_absent(7));
    EXPECT_EQ(list.entries(), (std::vector<std::uint64_t>{5, 2, 7}));
}

TEST(FreeListTest, ALoadedListKeepsOnlyTheLastCopyOfARepeatedSlot) {
    FreeList list(std::vector<std::uint64_t>{4, 9, 4, 7, 9});
    EXPECT_EQ(list.entries(), (std::vector<std::uint64_t>{4, 7, 9}));
    EXPECT_FALSE(list.push_if_absent(9));
    // Taken in the order the stored list gives its slots first, each once.
    EXPECT_EQ(list.take_last(), 9u);
    EXPECT_EQ(list.take_last(), 7u);
    EXPECT_EQ(list.take_last(), 4u);
    EXPECT_EQ(list.take_last(), std::nullopt);
    EXPECT_TRUE(list.push_if_absent(4));
}

TEST(FreeListTest, StoredForm) {
    const std::vector<std::uint8_t> expected = {2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0,
                                                9, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(encode_freelist({4, 9}), expected);
    auto with_tail = expected;
    with_tail.push_back(0xAA);
    EXPECT_EQ(*decode_freelist(with_tail), (std::vector<std::uint64_t>{4, 9}));
    EXPECT_EQ(*decode_freelist({}), std::vector<std::uint64_t>{});
    auto cut = decode_freelist(Bytes(expected.data(), 12));
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().message(), "Serialization error: io error: unexpected end of file");
    // A huge count must not make the decoder reserve memory it cannot fill.
    const std::vector<std::uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1};
    EXPECT_FALSE(decode_freelist(huge));
}

class FreeListStoreTest : public ::testing::Test {
protected:
    void SetUp() override { db = std::move(*KvStore::open(dir / "meta.redb", {kFreelistTable})); }
    Result<FreeList> load() {
        auto r = begin_read_txn(*db);
        return load_freelist(*r);
    }
    void put_raw(std::string_view key, std::vector<std::uint8_t> value) {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(w->put(kFreelistTable, key, value));
        ASSERT_TRUE(w->commit());
    }
    TempDir dir;
    std::unique_ptr<KvStore> db;
};

TEST_F(FreeListStoreTest, MissingTableKeyOrEmptyValueLoadEmpty) {
    EXPECT_EQ(load()->size(), 0u);
    put_raw("other", {1});
    EXPECT_EQ(load()->size(), 0u);
    put_raw(kFreelistKey, {});
    EXPECT_EQ(load()->size(), 0u);
}

TEST_F(FreeListStoreTest, PersistThenLoadKeepsOrder) {
    FreeList list;
    for (std::uint64_t s : {7, 3, 11}) list.push_if_absent(s);
    {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(persist_freelist(list, *w));
        ASSERT_TRUE(w->commit());
    }
    auto loaded = load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->entries(), (std::vector<std::uint64_t>{7, 3, 11}));
    EXPECT_EQ(loaded->take_last(), 11u);
}

TEST_F(FreeListStoreTest, PersistingWithASlotWritesItAtTheEndOnceAndLeavesTheList) {
    FreeList list(std::vector<std::uint64_t>{7, 3});
    const struct {
        std::vector<std::uint64_t> also;
        std::vector<std::uint64_t> stored;
    } cases[] = {
        {{}, {7, 3}},
        {{5}, {7, 3, 5}},
        {{7}, {7, 3}},  // listed already: not written twice
        // Several at once: in their order, each once, none listed already.
        {{5, 3, 9, 5}, {7, 3, 5, 9}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint64_t> appended;
        {
            auto w = begin_write_txn(*db);
            ASSERT_TRUE(persist_freelist(list, *w, c.also, &appended));
            ASSERT_TRUE(w->commit());
        }
        EXPECT_EQ(load()->entries(), c.stored);
        EXPECT_EQ(appended, std::vector<std::uint64_t>(c.stored.begin() + 2, c.stored.end()));
        EXPECT_EQ(list.entries(), (std::vector<std::uint64_t>{7, 3}));
    }
}

// A held slot is listed, and so stored by every later persist, but not
// handed out until it is released.
TEST_F(FreeListStoreTest, AHeldSlotIsStoredButNotTakenUntilReleased) {
    FreeList list(std::vector<std::uint64_t>{7});
    EXPECT_TRUE(list.hold(4));
    EXPECT_FALSE(list.hold(7));
    EXPECT_TRUE(list.push_if_absent(9));
    EXPECT_FALSE(list.push_if_absent(4));
    {
        auto w = begin_write_txn(*db);
        ASSERT_TRUE(persist_freelist(list, *w));
        ASSERT_TRUE(w->commit());
    }
    EXPECT_EQ(load()->entries(), (std::vector<std::uint64_t>{7, 4, 9}));
    EXPECT_EQ(list.take_last(), 9u);
    EXPECT_EQ(list.take_last(), 7u);
    EXPECT_EQ(list.take_last(), std::nullopt);
    EXPECT_TRUE(list.contains(4));

    EXPECT_TRUE(list.release(4));
    EXPECT_FALSE(list.release(4));
    EXPECT_TRUE(list.release(2));  // not listed: appended, as a push would
    EXPECT_EQ(list.entries(), (std::vector<std::uint64_t>{4, 2}));
    EXPECT_EQ(list.take_last(), 2u);
    EXPECT_EQ(list.take_last(), 4u);
}

TEST_F(FreeListStoreTest, ShortValueFailsToLoad) {
    put_raw(kFreelistKey, {2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0});
    auto loaded = load();
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind(), StoreError::Serialization);
}

}  // namespace
}  // namespace tessello
