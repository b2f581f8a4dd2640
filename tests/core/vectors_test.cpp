#include "storage/vectors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "file_bytes.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

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

// Bytes of the file that have blocks behind them.
std::uint64_t allocated_bytes(const std::filesystem::path& p) {
    struct stat st;
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

// A file as an earlier version made it: the header written, the room a hole.
void write_sparse_file(const std::filesystem::path& p, std::uint64_t dims, std::uint64_t length) {
    write_file(p, header(kVectorsMagic, 2, static_cast<std::uint32_t>(dims), 0, kVectorsHeaderSize));
    std::filesystem::resize_file(p, length);
}

std::vector<float> values(const VectorStore& s, std::uint64_t slot) {
    auto view = s.read_slot(slot);
    EXPECT_TRUE(view) << view.error().message();
    return view ? std::vector<float>(view->begin(), view->end()) : std::vector<float>{};
}

// A tmpfs of a few pages on a fresh directory for as long as it lives; only
// root can mount one.
class SmallDisk {
public:
    explicit SmallDisk(std::size_t bytes) {
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

    // Writes a file until the disk is full.
    void fill(const std::string& name) const {
        const int fd = ::open((dir_ / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const std::vector<char> block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        ::close(fd);
    }

private:
    TempDir dir_;
    bool mounted_ = false;
    std::string error_;
};

constexpr const char* kNoSpace = "I/O error: No space left on device (os error 28)";

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

// Positional writes of many slots land where write_slot would put them, seen
// through the mapping at once and in the file after a sync; a refused slot
// stops the writes there, as a sequence of write_slot calls stops.
TEST_F(VectorStoreTest, WriteSlotsWritesWhatWriteSlotWouldAndStopsAtTheFirstRefusal) {
    auto s = create_vector_store(file(), 2);
    ASSERT_TRUE(s);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(s->append_slot());
    // Two runs of consecutive slots, out of order, and a slot on its own.
    const std::vector<std::uint64_t> slots = {3, 4, 0, 1, 5};
    const std::vector<std::vector<float>> rows = {{3, 3}, {4, 4}, {0, 0.5f}, {1, 1}, {5, 5}};
    ASSERT_TRUE(s->write_slots(slots, rows));
    for (std::size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(values(*s, slots[i]), rows[i]) << slots[i];
    EXPECT_EQ(values(*s, 2), (std::vector<float>{0, 0}));
    ASSERT_TRUE(s->sync_vectors());
    const auto bytes = read_file(file());
    for (std::size_t i = 0; i < slots.size(); ++i)
        EXPECT_EQ(std::memcmp(bytes.data() + kVectorsHeaderSize + slots[i] * 8, rows[i].data(), 8), 0) << slots[i];

    struct Case {
        const char* name;
        std::vector<std::uint64_t> slots;
        std::vector<std::vector<float>> rows;
        std::string error;
    } cases[] = {
        {"slot beyond the file", {2, 9, 1}, {{7, 7}, {8, 8}, {9, 9}}, "Record not found: Slot 9 not allocated"},
        {"wrong length", {2, 1}, {{7, 7}, {8, 8, 8}}, "Dimension mismatch: expected 2, got 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(s->write_slot(2, std::vector<float>{0, 0}));
        auto st = s->write_slots(c.slots, c.rows);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().message(), c.error);
        EXPECT_EQ(values(*s, 2), (std::vector<float>{7, 7}));  // before the refusal: written
        EXPECT_EQ(values(*s, 1), (std::vector<float>{1, 1}));  // after it: untouched
    }
}

// Rows held one after another in memory give the same file: adjacent rows
// are sent as one buffer only within a run of consecutive slots.
TEST_F(VectorStoreTest, WriteSlotsOfABlockOfRowsWritesWhatSeparateRowsWrite) {
    const std::vector<std::uint64_t> slots = {3, 4, 0, 1, 5, 2};
    const std::vector<std::vector<float>> rows = {{3, 3}, {4, 4}, {0, 0.5f}, {1, 1}, {5, 5}, {2, 2}};
    std::vector<std::vector<std::uint8_t>> files;
    for (bool block : {false, true}) {
        auto s = create_vector_store(file(), 2);
        ASSERT_TRUE(s);
        for (int i = 0; i < 6; ++i) ASSERT_TRUE(s->append_slot());
        RowBlock held;
        for (const auto& row : rows) held.push_back(row);
        ASSERT_TRUE(block ? s->write_slots(slots, held) : s->write_slots(slots, rows));
        ASSERT_TRUE(s->sync_vectors());
        files.push_back(read_file(file()));
    }
    EXPECT_EQ(files[0], files[1]);
    for (std::size_t i = 0; i < slots.size(); ++i)
        EXPECT_EQ(std::memcmp(files[1].data() + kVectorsHeaderSize + slots[i] * 8, rows[i].data(), 8), 0) << slots[i];
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

TEST_F(VectorStoreTest, EveryByteOfANewOrGrownFileHasItsBlocks) {
    auto s = create_vector_store(file(), 4);
    ASSERT_TRUE(s);
    EXPECT_GE(allocated_bytes(file()), 16448u);
    for (int i = 0; i <= 1024; ++i) ASSERT_TRUE(s->append_slot());
    EXPECT_EQ(std::filesystem::file_size(file()), 24672u);
    EXPECT_GE(allocated_bytes(file()), 24672u);
}

TEST_F(VectorStoreTest, CreationLeavesNoTemporaryFileAndReplacesAnOldFileWhole) {
    write_file(file(), std::vector<std::uint8_t>(100, 7));
    auto s = create_vector_store(file(), 3);
    ASSERT_TRUE(s) << s.error().message();
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"vectors.bin"});
    // The header is on disk before anything else is done with the file.
    auto reopened = open_vector_store(file(), 3);
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(reopened->slot_count(), 0u);
    EXPECT_EQ(std::filesystem::file_size(file()), 64u + 12288u);
    // Made with mode 0666 before the umask, as the file always was.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st;
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

// A file an earlier version made sparse gets its room reserved before the
// first store into it, not by opening, which never touches the file.
TEST_F(VectorStoreTest, ASparseFileIsReservedBeforeItsFirstWrite) {
    write_sparse_file(file(), 4, 16448);
    const std::uint64_t before = allocated_bytes(file());
    ASSERT_LT(before, 16448u);
    auto s = open_vector_store(file(), 4);
    ASSERT_TRUE(s) << s.error().message();
    ASSERT_EQ(*s->append_slot(), 0u);
    EXPECT_EQ(allocated_bytes(file()), before);
    const float v[4] = {1, 2, 3, 4};
    ASSERT_TRUE(s->write_slot(0, v));
    EXPECT_GE(allocated_bytes(file()), 16448u);
    EXPECT_EQ(std::filesystem::file_size(file()), 16448u);
}

TEST_F(VectorStoreTest, LeftoversOfInterruptedCreationsAreRemovedByName) {
    const std::vector<std::string> leftovers = {".vectors.bin.123-0.tmp", ".vectors.bin.x.tmp"};
    const std::vector<std::string> kept = {"vectors.bin", "vectors.bin.tmp", ".vectors.bin..tmp",
                                           ".vectors.bin.1", "other.tmp", ".other.bin.1-0.tmp", "meta.redb"};
    for (const auto& name : leftovers) write_file(dir / name, {1});
    for (const auto& name : kept) write_file(dir / name, {1});
    remove_unfinished_creations(file());
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    auto expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

TEST_F(VectorStoreTest, UnfinishedFilesAreTheShortAndTheAllZeroHeaders) {
    auto one_byte_set = std::vector<std::uint8_t>(64 + 16, 0);
    one_byte_set[40] = 1;  // a reserved byte: not what a creation leaves
    struct Case {
        const char* name;
        std::optional<std::vector<std::uint8_t>> bytes;  // nothing: no file
        bool unfinished;
    } cases[] = {
        {"missing", std::nullopt, false},
        {"empty", std::vector<std::uint8_t>{}, true},
        {"63 bytes", std::vector<std::uint8_t>(63, 9), true},
        {"zero header", std::vector<std::uint8_t>(64, 0), true},
        {"all zeros", std::vector<std::uint8_t>(64 + 4096 * 4, 0), true},
        {"one byte set", one_byte_set, false},
        {"valid", header(kVectorsMagic, 2, 4, 0, 64 + 64), false},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(file());
        if (c.bytes) write_file(file(), *c.bytes);
        EXPECT_EQ(is_unfinished_vector_file(file()), c.unfinished) << c.name;
    }
}

// A full disk is an error from the call that needs the space, and the store
// goes on once there is space again.
TEST(VectorStoreFullDiskTest, AFullDiskIsAnErrorNotAFault) {
    SmallDisk disk(64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << disk.error();
    const auto file = disk / "vectors.bin";
    auto s = create_vector_store(file, 4);
    ASSERT_TRUE(s) << s.error().message();
    disk.fill("filler");

    // The room reserved at creation takes every slot it has room for.
    for (std::uint64_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(*s->append_slot(), i);
        const float v[4] = {float(i), 1, 2, 3};
        ASSERT_TRUE(s->write_slot(i, v));
    }
    auto grown = s->append_slot();
    ASSERT_FALSE(grown);
    EXPECT_EQ(grown.error().message(), kNoSpace);
    EXPECT_EQ(s->slot_count(), 1024u);
    EXPECT_EQ(s->vectors_size_bytes(), 16448u);
    EXPECT_EQ(values(*s, 1023), (std::vector<float>{1023, 1, 2, 3}));
    ASSERT_TRUE(s->sync_vectors());

    // A creation needs its whole room.
    auto other = create_vector_store(disk / "other.bin", 4);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().message(), kNoSpace);
    EXPECT_FALSE(std::filesystem::exists(disk / "other.bin"));

    std::filesystem::remove(disk / "filler");
    ASSERT_EQ(*s->append_slot(), 1024u);
    EXPECT_EQ(std::filesystem::file_size(file), 24672u);
    const float last[4] = {9, 9, 9, 9};
    ASSERT_TRUE(s->write_slot(1024, last));
    ASSERT_TRUE(s->sync_vectors());
    auto reopened = open_vector_store(file, 4);
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(reopened->slot_count(), 1025u);
    EXPECT_EQ(values(*reopened, 7), (std::vector<float>{7, 1, 2, 3}));
    EXPECT_EQ(values(*reopened, 1024), (std::vector<float>{9, 9, 9, 9}));
}

TEST(VectorStoreFullDiskTest, ASparseFileOnAFullDiskRefusesTheWrite) {
    SmallDisk disk(64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << disk.error();
    const auto file = disk / "vectors.bin";
    write_sparse_file(file, 4, 16448);
    disk.fill("filler");
    auto s = open_vector_store(file, 4);
    ASSERT_TRUE(s) << s.error().message();
    ASSERT_EQ(*s->append_slot(), 0u);
    const float v[4] = {1, 2, 3, 4};
    auto written = s->write_slot(0, v);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message(), kNoSpace);
    std::filesystem::remove(disk / "filler");
    ASSERT_TRUE(s->write_slot(0, v));
    EXPECT_EQ(values(*s, 0), std::vector<float>(v, v + 4));
}

}  // namespace
}  // namespace tessello
