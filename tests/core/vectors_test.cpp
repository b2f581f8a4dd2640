#include "storage/vectors.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A header as a file of another writer could hold it, checksum fixed up.
std::vector<std::uint8_t> header(std::uint32_t magic, std::uint16_t version, std::uint32_t dims,
                                 std::uint64_t slots, std::size_t total_len) {
    std::vector<std::uint8_t> b(total_len, 0);
    std::memcpy(&b[0], &magic, 4);
    std::memcpy(&b[4], &version, 2);
    std::memcpy(&b[6], &dims, 4);
    std::memcpy(&b[10], &slots, 8);
    const std::uint32_t sum = header_checksum(std::span<const std::uint8_t, 18>(b.data(), 18), version);
    std::memcpy(&b[18], &sum, 4);
    return b;
}

class VectorStoreTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return dir / "vectors.bin"; }
    TempDir dir;
};

TEST_F(VectorStoreTest, NewStoreHasRoomFor1024SlotsAndAVersion2Header) {
    auto s = create_vector_store(file(), 3);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->slot_count(), 0u);
    EXPECT_EQ(s->vectors_size_bytes(), 64u + 12288u);
    EXPECT_EQ(std::filesystem::file_size(file()), 64u + 12288u);
    ASSERT_TRUE(s->sync_vectors());
    auto bytes = read_file(file());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "OLST");
    EXPECT_EQ(bytes[4], 2);
    EXPECT_EQ(bytes[5], 0);
    std::uint32_t stored;
    std::memcpy(&stored, &bytes[18], 4);
    EXPECT_EQ(stored, crc32(0, bytes.data(), 18));
}

TEST_F(VectorStoreTest, DimensionLimits) {
    struct Case {
        std::uint64_t dims;
        const char* message;  // nullptr: accepted
    } cases[] = {
        {0, "Invalid input: Dimensions must be greater than 0"},
        {1, nullptr},
        {65536, nullptr},
        {65537, "Dimensions too large: maximum is 65536, got 65537"},
    };
    for (const auto& c : cases) {
        auto st = validate_dimensions(c.dims);
        EXPECT_EQ(st.has_value(), c.message == nullptr) << c.dims;
        if (c.message) {
            EXPECT_EQ(st.error().message(), c.message);
            std::filesystem::remove(file());
            auto created = create_vector_store(file(), c.dims);
            ASSERT_FALSE(created);
            EXPECT_EQ(created.error().message(), c.message);
            EXPECT_FALSE(std::filesystem::exists(file()));
        }
    }
}

TEST_F(VectorStoreTest, OpenRefusesBadFilesInCheckOrder) {
    auto with_bad_checksum = header(kVectorsMagic, 2, 4, 0, 200);
    with_bad_checksum[10] ^= 1;
    auto bad_magic_and_checksum = header(0x12345678, 2, 4, 0, 200);
    bad_magic_and_checksum[6] ^= 1;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint64_t expected_dims;
        std::string message;
    } cases[] = {
        {"empty", {}, 4, "Data corruption: Vector file too small for header"},
        {"63 bytes", std::vector<std::uint8_t>(63, 0), 4, "Data corruption: Vector file too small for header"},
        {"checksum", with_bad_checksum, 4, ""},
        {"checksum before magic", bad_magic_and_checksum, 4, ""},
        {"magic", header(0x12345678, 2, 4, 0, 200), 4,
         "Data corruption: Invalid magic number: expected 0x54534C4F, got 0x12345678"},
        {"version 3", header(kVectorsMagic, 3, 4, 0, 200), 4,
         "Data corruption: Unsupported version: expected 2 or 1, got 3"},
        {"version 0", header(kVectorsMagic, 0, 4, 0, 200), 4,
         "Data corruption: Unsupported version: expected 2 or 1, got 0"},
        {"zero dims", header(kVectorsMagic, 2, 0, 0, 200), 0, "Invalid input: Dimensions must be greater than 0"},
        {"huge dims", header(kVectorsMagic, 2, 70000, 0, 200), 70000,
         "Dimensions too large: maximum is 65536, got 70000"},
        {"other dims", header(kVectorsMagic, 2, 4, 0, 200), 8, "Dimension mismatch: expected 8, got 4"},
        {"truncated", header(kVectorsMagic, 2, 4, 9, 64 + 8 * 16 + 15), 4, "truncated"},
    };
    for (auto& c : cases) {
        write_file(file(), c.bytes);
        auto s = open_vector_store(file(), c.expected_dims);
        ASSERT_FALSE(s) << c.name;
        const std::string msg = s.error().message();
        if (std::string(c.name).starts_with("checksum")) {
            EXPECT_TRUE(msg.starts_with("Data corruption: Header checksum mismatch: expected 0x")) << msg;
        } else if (c.message == "truncated") {
            EXPECT_EQ(s.error().kind(), StoreError::Corruption);
            EXPECT_TRUE(msg.starts_with("Data corruption: Vector file truncated: ")) << msg;
        } else {
            EXPECT_EQ(msg, c.message) << c.name;
        }
    }
}

TEST_F(VectorStoreTest, ChecksumMismatchNamesStoredThenComputed) {
    auto b = header(kVectorsMagic, 2, 4, 0, 100);
    const std::uint32_t bogus = 0x0000ABCD;
    std::memcpy(&b[18], &bogus, 4);
    write_file(file(), b);
    const std::uint32_t computed = crc32(0, b.data(), 18);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "Data corruption: Header checksum mismatch: expected 0x0000ABCD, got 0x%08X", computed);
    auto s = open_vector_store(file(), 4);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), expected);
}

TEST_F(VectorStoreTest, MissingFileIsAnOsError) {
    auto s = open_vector_store(file(), 4);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), StoreError::Io);
    EXPECT_TRUE(s.error().message().ends_with("(os error 2)")) << s.error().message();
}

TEST_F(VectorStoreTest, ExactlyFullFileOpens) {
    write_file(file(), header(kVectorsMagic, 2, 4, 9, 64 + 9 * 16));
    auto s = open_vector_store(file(), 4);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->slot_count(), 9u);
}

TEST_F(VectorStoreTest, Version1FileKeepsFnvChecksumWhenAppending) {
    write_file(file(), header(kVectorsMagic, 1, 4, 0, 64 + 16 * 4));
    {
        auto s = open_vector_store(file(), 4);
        ASSERT_TRUE(s) << s.error().message();
        EXPECT_EQ(s->version(), 1);
        ASSERT_EQ(*s->append_slot(), 0u);
        ASSERT_TRUE(s->sync_vectors());
    }
    auto bytes = read_file(file());
    std::uint32_t fnv = 0x811C9DC5u;
    for (int i = 0; i < 18; ++i) fnv = (fnv ^ bytes[i]) * 0x01000193u;
    std::uint32_t stored;
    std::memcpy(&stored, &bytes[18], 4);
    EXPECT_EQ(stored, fnv);
    EXPECT_EQ(bytes[4], 1);
    auto s = open_vector_store(file(), 4);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->slot_count(), 1u);
}

TEST_F(VectorStoreTest, GrowthByHalfTheMappedLength) {
    auto s = create_vector_store(file(), 4);
    ASSERT_TRUE(s);
    struct Step {
        std::uint64_t slot;
        std::uint64_t length_after;
    } steps[] = {{1023, 16448}, {1024, 24672}, {1537, 24672}, {1538, 37008}};
    std::uint64_t next = 0;
    for (const auto& step : steps) {
        while (next <= step.slot) {
            auto slot = s->append_slot();
            ASSERT_TRUE(slot);
            ASSERT_EQ(*slot, next++);
        }
        EXPECT_EQ(s->vectors_size_bytes(), step.length_after) << step.slot;
        EXPECT_EQ(std::filesystem::file_size(file()), step.length_after) << step.slot;
    }
    // Vectors written before a growth survive the remap and a reopen.
    const float v[4] = {1, 2, 3, 4};
    ASSERT_TRUE(s->write_slot(5, v));
    ASSERT_EQ(*s->append_slot(), 1539u);
    ASSERT_TRUE(s->sync_vectors());
    auto reopened = open_vector_store(file(), 4);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->slot_count(), 1540u);
    auto view = reopened->read_slot(5);
    ASSERT_TRUE(view);
    EXPECT_EQ(std::vector<float>(view->begin(), view->end()), std::vector<float>(v, v + 4));
}

TEST_F(VectorStoreTest, SlotBoundsAndDimensionChecks) {
    auto s = create_vector_store(file(), 2);
    ASSERT_TRUE(s);
    const float ok[2] = {1, 2};
    const float wrong[3] = {1, 2, 3};
    EXPECT_EQ(s->write_slot(0, ok).error().message(), "Record not found: Slot 0 not allocated");
    EXPECT_EQ(s->read_slot(0).error().message(), "Record not found: Slot 0 not allocated");
    ASSERT_EQ(*s->append_slot(), 0u);
    EXPECT_EQ(s->write_slot(0, wrong).error().message(), "Dimension mismatch: expected 2, got 3");
    ASSERT_TRUE(s->write_slot(0, ok));
    EXPECT_EQ(s->read_slot(1).error().message(), "Record not found: Slot 1 not allocated");
    EXPECT_FALSE(is_deleted_mark(*s->read_slot(0)));
    ASSERT_TRUE(s->mark_deleted(0));
    auto view = *s->read_slot(0);
    EXPECT_TRUE(is_deleted_mark(view));
    std::uint32_t bits;
    std::memcpy(&bits, view.data(), 4);
    EXPECT_EQ(bits, 0x7FC00000u);
    EXPECT_EQ(view[1], 2.0f);
}

TEST_F(VectorStoreTest, OpeningNeverWritesTheFile) {
    write_file(file(), header(kVectorsMagic, 1, 4, 2, 64 + 2 * 16 + 7));
    const auto before = read_file(file());
    {
        auto s = open_vector_store(file(), 4);
        ASSERT_TRUE(s);
        s->preload();
    }
    EXPECT_EQ(read_file(file()), before);
}

}  // namespace
}  // namespace tessello
