// Opening a collection whose "vectors.bin" an interrupted creation left
// unfinished: made anew while nothing points into it, refused otherwise.
#include <gtest/gtest.h>

#include <vector>

#include "collection/collection.h"
#include "collection/insert.h"
#include "collection/sync.h"
#include "storage/freelist.h"
#include "storage/records_table.h"
#include "storage/vectors.h"
#include "file_bytes.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

class UnfinishedVectorFileTest : public ::testing::Test {
protected:
    static constexpr std::uint64_t kDims = 2;
    std::filesystem::path where() const { return dir / "c"; }
    std::filesystem::path vectors() const { return where() / "vectors.bin"; }
    Result<CollectionHandle> open() const {
        return open_collection(where(), CollectionConfig{"c", kDims, Metric::L2, 0, std::nullopt});
    }

    // A collection whose table holds what `table` names, then its vector
    // file replaced by `bytes`.
    void make(const std::string& table, const std::vector<std::uint8_t>& bytes) {
        std::filesystem::remove_all(where());
        ASSERT_TRUE(open());
        {
            auto db = KvStore::open(where() / "meta.redb", {kRecordsTable, kFreelistTable});
            ASSERT_TRUE(db) << db.error().message();
            auto txn = begin_write_txn(**db);
            ASSERT_TRUE(txn);
            if (table == "a record") {
                ASSERT_TRUE(put_record(*txn, Record{"r", 0, "{}", 1, std::nullopt}));
            } else if (table == "a pending record") {
                ASSERT_TRUE(put_record(*txn, Record{"r", 0, "{}", 1, std::nullopt, RecordState::Pending}));
            } else if (table == "a free slot") {
                ASSERT_TRUE(persist_freelist(FreeList({0}), *txn));
            }
            ASSERT_TRUE(txn->commit());
        }
        write_file(vectors(), bytes);
    }

    TempDir dir;
};

TEST_F(UnfinishedVectorFileTest, ReplacedOnlyWhileNothingPointsIntoIt) {
    struct File {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* error;  // when it is refused
    } files[] = {
        {"empty", {}, "Data corruption: Vector file too small for header"},
        {"shorter than a header", std::vector<std::uint8_t>(40, 0), "Data corruption: Vector file too small for header"},
        {"zero header", std::vector<std::uint8_t>(64, 0), "Data corruption: Header checksum mismatch"},
        {"zero bytes throughout", std::vector<std::uint8_t>(64 + 4096 * kDims, 0),
         "Data corruption: Header checksum mismatch"},
    };
    for (const auto& f : files) {
        for (const std::string table : {"nothing", "a record", "a pending record", "a free slot"}) {
            SCOPED_TRACE(std::string(f.name) + " with " + table);
            make(table, f.bytes);
            auto core = open();
            if (table != "nothing") {
                ASSERT_FALSE(core);
                EXPECT_EQ(core.error().kind(), StoreError::Corruption);
                EXPECT_TRUE(core.error().message().starts_with(f.error)) << core.error().message();
                EXPECT_EQ(read_file(vectors()), f.bytes);
                continue;
            }
            ASSERT_TRUE(core) << core.error().message();
            EXPECT_EQ(std::filesystem::file_size(vectors()), 64u + 4096u * kDims);
            auto id = insert_record(**core, std::vector<float>{1, 2}, JsonValue::object({}), "a", std::nullopt);
            ASSERT_TRUE(id) << id.error().message();
            ASSERT_TRUE(sync_collection(**core));
            EXPECT_EQ(*collection_len(**core), 1u);
            core->reset();
            auto reopened = open_vector_store(vectors(), kDims);
            ASSERT_TRUE(reopened) << reopened.error().message();
            EXPECT_EQ(reopened->slot_count(), 1u);
        }
    }
}

// Damage that no creation leaves is never repaired by replacing the file.
TEST_F(UnfinishedVectorFileTest, OtherDamageIsRefusedEvenWithAnEmptyTable) {
    std::vector<std::uint8_t> bytes(64 + 4096 * kDims, 0);
    bytes[0] = 'O';  // a header some writer began, not one of zeros
    make("nothing", bytes);
    auto core = open();
    ASSERT_FALSE(core);
    EXPECT_TRUE(core.error().message().starts_with("Data corruption: Header checksum mismatch"))
        << core.error().message();
    EXPECT_EQ(read_file(vectors()), bytes);
}

TEST_F(UnfinishedVectorFileTest, OpeningRemovesTheLeftoversOfAnInterruptedCreation) {
    ASSERT_TRUE(open());
    const auto leftover = where() / ".vectors.bin.4242-0.tmp";
    write_file(leftover, std::vector<std::uint8_t>(64 + 4096 * kDims, 0));
    write_file(where() / "notes.tmp", {1});
    ASSERT_TRUE(open());
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_TRUE(std::filesystem::exists(where() / "notes.tmp"));
}

}  // namespace
}  // namespace tessello
