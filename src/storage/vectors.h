#pragma once
// VectorStore: a collection's "vectors.bin" mapped shared and read-write.
//
// Layout: a 64-byte header (magic "OLST" on disk, version, dimensions,
// slot_count, checksum over bytes 0-17, 42 reserved bytes), then fixed-size
// slots of dimensions float32 each. The mapping always covers the header and
// every allocated slot; vectors are read in place and written by one copy.
//
// The store has no lock of its own: the collection core wraps it in a
// reader-writer lock, and a view of a slot is valid only while that lock is
// held (growth replaces the mapping). A slot whose first float is a NaN counts
// as deleted.
//
// Durability and space: a new file appears whole or not at all (built and
// synced under a temporary name, then renamed into place). Every byte of the
// file has its blocks reserved before anything is stored through the mapping,
// so a full disk is an Io error from the call that needed the space, never a
// fault in a store to the mapping. Writes reach the disk with sync_vectors.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "base/row_block.h"
#include "base/store_error.h"
#include "base/unique_fd.h"

namespace tessello {

inline constexpr std::uint32_t kVectorsMagic = 0x54534C4F;
inline constexpr std::uint16_t kVectorsVersion = 2;
inline constexpr std::uint64_t kMaxDimensions = 65536;
inline constexpr std::size_t kVectorsHeaderSize = 64;

struct VectorsHeader {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint32_t dimensions;
    std::uint64_t slot_count;
    std::uint32_t checksum;
};

// Owns one shared read-write memory map; unmaps (without syncing) on release.
class Mapping {
public:
    Mapping() = default;
    Mapping(std::uint8_t* data, std::size_t length) : data_(data), length_(length) {}
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    ~Mapping();

    std::uint8_t* data() const { return data_; }
    std::size_t length() const { return length_; }

private:
    void unmap();

    std::uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
};

class VectorStore {
public:
    VectorStore(VectorStore&&) = default;
    VectorStore& operator=(VectorStore&&) = default;

    std::uint64_t dimensions() const { return dimensions_; }
    std::uint64_t slot_count() const { return slot_count_; }
    std::uint64_t stride() const { return stride_; }
    std::uint16_t version() const { return version_; }

    // Appends a slot at slot_count, growing the file by at least half its
    // mapped length when it does not fit (syncing the mapping and reserving
    // the new room first). A failed growth leaves slot_count, the header and
    // the mapping as they were; the file may be longer. Caller holds the
    // write lock.
    Result<std::uint64_t> append_slot();
    // One positional write of the file, not a store through the mapping (see
    // write_slots); a failed write is an Io error. Caller holds the write lock.
    Status write_slot(std::uint64_t slot, std::span<const float> vector);
    // write_slot of vectors[i] into slots[i] for i in order, stopping at the
    // first it refuses (its error is returned, the ones before are written).
    // The vectors go to the file in one positional write per run of
    // consecutive slots, not through the mapping: fresh pages are not
    // faulted in one at a time and carry no mapped dirty entries for the
    // next sync to clean. The mapping sees the bytes at once (one page
    // cache). A failed write is an Io error; what it wrote is unspecified.
    // Caller holds the write lock.
    Status write_slots(std::span<const std::uint64_t> slots, std::span<const std::vector<float>> vectors);
    Status write_slots(std::span<const std::uint64_t> slots, const RowBlock& vectors);
    Status write_slots(std::span<const std::uint64_t> slots, std::span<const std::span<const float>> vectors);
    // A view of the slot's floats. Caller holds a lock while it uses the view.
    Result<std::span<const float>> read_slot(std::uint64_t slot) const;
    // Unchecked view of an allocated slot, for scans that already bounded it.
    std::span<const float> slot_view(std::uint64_t slot) const {
        return {reinterpret_cast<const float*>(mapping_.data() + kVectorsHeaderSize + slot * stride_),
                static_cast<std::size_t>(dimensions_)};
    }
    // Writes the quiet-NaN deleted mark into the slot's first float.
    Status mark_deleted(std::uint64_t slot);
    // The bits of an allocated slot's first float, and writing them back (to
    // take back a mark that mark_deleted made, so the space is there). Caller
    // holds the lock as for reading / writing.
    std::uint32_t first_bits(std::uint64_t slot) const;
    void set_first_bits(std::uint64_t slot, std::uint32_t bits);

    // Synchronous flush of the whole mapping.
    Status sync_mapping() const;
    // Makes every byte written so far durable, through the mapping or by
    // positional write: one fsync of the file.
    Status sync_vectors() const;
    // Fsync of the file alone (retried when interrupted).
    Status fsync_file() const;
    // Will-need advice over the whole mapping; the outcome is ignored.
    void preload() const;
    std::uint64_t vectors_size_bytes() const { return mapping_.length(); }

private:
    friend Result<VectorStore> create_vector_store(const std::filesystem::path&, std::uint64_t);
    friend Result<VectorStore> open_vector_store(const std::filesystem::path&, std::uint64_t);
    VectorStore() = default;
    void write_slot_count(std::uint64_t count);
    // Reserves the whole file once before the first store into a file that
    // was opened with unreserved room (made sparse by an earlier version).
    Status reserve_before_writing();
    template <class Rows>
    Status write_rows(std::span<const std::uint64_t> slots, const Rows& vectors);

    Mapping mapping_;
    std::uint64_t dimensions_ = 0;
    std::uint64_t slot_count_ = 0;
    std::uint64_t stride_ = 0;
    UniqueFd file_;
    std::uint16_t version_ = kVectorsVersion;
    // Every byte of the mapping has its blocks.
    bool reserved_ = false;
};

// 0: "Dimensions must be greater than 0"; above 65536: DimensionsTooLarge.
Status validate_dimensions(std::uint64_t dimensions);
// FNV-1a for versions 0 and 1, CRC-32 from version 2 on.
std::uint32_t header_checksum(std::span<const std::uint8_t, 18> bytes, std::uint16_t version);
// Reads the fields and refuses a checksum that does not match.
Result<VectorsHeader> parse_vectors_header(std::span<const std::uint8_t, kVectorsHeaderSize> bytes);

// A new file with room for 1024 slots, its space reserved, put in place of
// any old one. The header and the zero-filled room are written and synced
// under a temporary name in the same directory, renamed to path, and the
// directory synced: a crash leaves the old state or the whole new file, plus
// at most a temporary file that remove_unfinished_creations takes away. On a
// failure before the rename nothing is left behind; after it, the new file
// stays.
Result<VectorStore> create_vector_store(const std::filesystem::path& path, std::uint64_t dimensions);
// Opens and checks an existing file; never writes to it.
Result<VectorStore> open_vector_store(const std::filesystem::path& path, std::uint64_t expected_dimensions);

// Removes the temporary files that interrupted create_vector_store calls for
// path left in its directory. Best effort: what cannot be removed stays.
void remove_unfinished_creations(const std::filesystem::path& path);
// Whether the file at path is what an interrupted creation of an earlier
// version left: shorter than a header, or a header of zero bytes only.
bool is_unfinished_vector_file(const std::filesystem::path& path);

inline bool is_deleted_mark(std::span<const float> slot) { return !slot.empty() && std::isnan(slot[0]); }

}  // namespace tessello
