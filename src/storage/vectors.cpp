#include "storage/vectors.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <zlib.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/sys_io.h"

namespace tessello {

namespace {

StoreError overflows_isize() { return StoreError::io_message("memory map length overflows isize"); }

template <class T>
T load_le(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void store_le(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

// The file's length as the file system reports it.
Result<std::uint64_t> file_length(int fd) {
    struct statx st;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_SIZE, &st) != 0) {
        if (errno != ENOSYS) return fail_errno(errno);
        struct stat plain;
        if (fstat(fd, &plain) != 0) return fail_errno(errno);
        return static_cast<std::uint64_t>(plain.st_size);
    }
    return static_cast<std::uint64_t>(st.stx_size);
}

// Maps length bytes of fd shared and read-write (an empty file maps one byte).
Result<Mapping> map_file(int fd, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail(overflows_isize());
    const std::size_t len = length == 0 ? 1 : static_cast<std::size_t>(length);
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return fail_errno(errno);
    return Mapping(static_cast<std::uint8_t*>(p), static_cast<std::size_t>(length));
}

Result<Mapping> map_whole_file(int fd) {
    auto length = file_length(fd);
    if (!length) return fail(length.error());
    return map_file(fd, *length);
}

// Whether every byte up to length has its blocks (a file this system made);
// a sparse file from an earlier version has fewer.
bool fully_allocated(int fd, std::uint64_t length) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_blocks) * 512 >= length;
}

std::uint32_t fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint32_t h = 0x811C9DC5u;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x01000193u;
    }
    return h;
}

}  // namespace

// ---- Mapping ---------------------------------------------------------------

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        this->~Mapping();
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Mapping::~Mapping() {
    if (data_) munmap(data_, length_ == 0 ? 1 : length_);
    data_ = nullptr;
}

// ---- header ----------------------------------------------------------------

Status validate_dimensions(std::uint64_t dimensions) {
    if (dimensions == 0) return fail(StoreError::InvalidInput, "Dimensions must be greater than 0");
    if (dimensions > kMaxDimensions) return fail(StoreError::dimensions_too_large(kMaxDimensions, dimensions));
    return {};
}

std::uint32_t header_checksum(std::span<const std::uint8_t, 18> bytes, std::uint16_t version) {
    if (version <= 1) return fnv1a(bytes);
    return static_cast<std::uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

Result<VectorsHeader> parse_vectors_header(std::span<const std::uint8_t, kVectorsHeaderSize> b) {
    VectorsHeader h{load_le<std::uint32_t>(&b[0]), load_le<std::uint16_t>(&b[4]),
                    load_le<std::uint32_t>(&b[6]), load_le<std::uint64_t>(&b[10]),
                    load_le<std::uint32_t>(&b[18])};
    const std::uint32_t computed = header_checksum(b.first<18>(), h.version);
    if (h.checksum != computed)
        return fail(StoreError::Corruption,
                    "Header checksum mismatch: expected 0x" + hex8(h.checksum) + ", got 0x" + hex8(computed));
    return h;
}

void VectorStore::write_slot_count(std::uint64_t count) {
    std::uint8_t* h = mapping_.data();
    store_le(h + 10, count);
    store_le(h + 18, header_checksum(std::span<const std::uint8_t, 18>(h, 18), version_));
    slot_count_ = count;
}

// ---- create / open ---------------------------------------------------------

Result<VectorStore> create_vector_store(const std::filesystem::path& path, std::uint64_t dimensions) {
    if (auto st = validate_dimensions(dimensions); !st) return fail(st.error());
    VectorStore store;
    store.file_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!store.file_.valid()) return fail_errno(errno);
    // The room for the slots: reserved blocks that read as zeros.
    if (auto st = sys_reserve(store.file_.get(), 0, kVectorsHeaderSize + 4096 * dimensions); !st)
        return fail(st.error());
    auto mapping = map_whole_file(store.file_.get());
    if (!mapping) return fail(mapping.error());
    store.mapping_ = std::move(*mapping);
    if (store.mapping_.length() < kVectorsHeaderSize)
        return fail(StoreError::Corruption, "Vector file too small for header");

    std::uint8_t* h = store.mapping_.data();
    std::memset(h, 0, kVectorsHeaderSize);
    store_le(h + 0, kVectorsMagic);
    store_le(h + 4, kVectorsVersion);
    store_le(h + 6, static_cast<std::uint32_t>(dimensions));
    store.dimensions_ = dimensions;
    store.stride_ = dimensions * 4;
    store.version_ = kVectorsVersion;
    store.reserved_ = true;
    store.write_slot_count(0);
    return store;
}

Result<VectorStore> open_vector_store(const std::filesystem::path& path, std::uint64_t expected) {
    VectorStore store;
    store.file_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!store.file_.valid()) return fail_errno(errno);
    auto mapping = map_whole_file(store.file_.get());
    if (!mapping) return fail(mapping.error());
    store.mapping_ = std::move(*mapping);
    if (store.mapping_.length() < kVectorsHeaderSize)
        return fail(StoreError::Corruption, "Vector file too small for header");

    auto header = parse_vectors_header(
        std::span<const std::uint8_t, kVectorsHeaderSize>(store.mapping_.data(), kVectorsHeaderSize));
    if (!header) return fail(header.error());
    if (header->magic != kVectorsMagic)
        return fail(StoreError::Corruption,
                    "Invalid magic number: expected 0x" + hex8(kVectorsMagic) + ", got 0x" + hex8(header->magic));
    if (header->version != 1 && header->version != 2)
        return fail(StoreError::Corruption,
                    "Unsupported version: expected 2 or 1, got " + std::to_string(header->version));
    if (auto st = validate_dimensions(header->dimensions); !st) return fail(st.error());
    if (header->dimensions != expected) return fail(StoreError::dimension_mismatch(expected, header->dimensions));

    const std::uint64_t stride = std::uint64_t{header->dimensions} * 4;
    // A file cut short would leave allocated slots outside the mapping.
    const std::uint64_t slots_fit = (store.mapping_.length() - kVectorsHeaderSize) / stride;
    if (header->slot_count > slots_fit)
        return fail(StoreError::Corruption,
                    "Vector file truncated: " + std::to_string(header->slot_count) + " slots need " +
                        std::to_string(header->slot_count) + " x " + std::to_string(stride) +
                        " bytes after the header, the file has " +
                        std::to_string(store.mapping_.length()) + " bytes");

    store.dimensions_ = header->dimensions;
    store.slot_count_ = header->slot_count;
    store.stride_ = stride;
    store.version_ = header->version;
    store.reserved_ = fully_allocated(store.file_.get(), store.mapping_.length());
    return store;
}

// ---- slots -----------------------------------------------------------------

Result<std::uint64_t> VectorStore::append_slot() {
    const std::uint64_t slot = slot_count_;
    const std::uint64_t needed = kVectorsHeaderSize + (slot + 1) * stride_;
    if (mapping_.length() < needed) {
        if (auto st = sync_mapping(); !st) return fail(st.error());
        const double grown = static_cast<double>(mapping_.length()) * 1.5;
        const std::uint64_t scaled = grown >= 18446744073709551616.0
                                         ? std::numeric_limits<std::uint64_t>::max()
                                         : static_cast<std::uint64_t>(grown);
        const std::uint64_t length = std::max(needed, scaled);
        // The new room gets its blocks (and the file its length) before the
        // mapping can reach it.
        const std::uint64_t mapped = mapping_.length();
        if (auto st = sys_reserve(file_.get(), mapped, length - mapped); !st) return fail(st.error());
        auto mapping = map_whole_file(file_.get());
        if (!mapping) return fail(mapping.error());
        mapping_ = std::move(*mapping);
    }
    write_slot_count(slot + 1);
    return slot;
}

Status VectorStore::reserve_before_writing() {
    if (reserved_) return {};
    if (auto st = sys_reserve(file_.get(), 0, mapping_.length()); !st) return st;
    reserved_ = true;
    return {};
}

Status VectorStore::write_slot(std::uint64_t slot, std::span<const float> vector) {
    if (vector.size() != dimensions_) return fail(StoreError::dimension_mismatch(dimensions_, vector.size()));
    if (slot >= slot_count_) return fail(StoreError::RecordNotFound, "Slot " + std::to_string(slot) + " not allocated");
    if (auto st = reserve_before_writing(); !st) return st;
    std::memcpy(mapping_.data() + kVectorsHeaderSize + slot * stride_, vector.data(), stride_);
    return {};
}

Result<std::span<const float>> VectorStore::read_slot(std::uint64_t slot) const {
    if (slot >= slot_count_) return fail(StoreError::RecordNotFound, "Slot " + std::to_string(slot) + " not allocated");
    return slot_view(slot);
}

Status VectorStore::mark_deleted(std::uint64_t slot) {
    if (slot >= slot_count_) return fail(StoreError::RecordNotFound, "Slot " + std::to_string(slot) + " not allocated");
    if (auto st = reserve_before_writing(); !st) return st;
    set_first_bits(slot, 0x7FC00000);
    return {};
}

std::uint32_t VectorStore::first_bits(std::uint64_t slot) const {
    return load_le<std::uint32_t>(mapping_.data() + kVectorsHeaderSize + slot * stride_);
}

void VectorStore::set_first_bits(std::uint64_t slot, std::uint32_t bits) {
    store_le(mapping_.data() + kVectorsHeaderSize + slot * stride_, bits);
}

bool is_deleted_mark(std::span<const float> slot) { return !slot.empty() && std::isnan(slot[0]); }

// ---- durability ------------------------------------------------------------

Status VectorStore::sync_mapping() const {
    return sys_msync(mapping_.data(), mapping_.length() == 0 ? 1 : mapping_.length());
}

Status VectorStore::fsync_file() const { return sys_fsync(file_.get()); }

Status VectorStore::sync_vectors() const {
    if (auto st = sync_mapping(); !st) return st;
    return fsync_file();
}

void VectorStore::preload() const {
    (void)madvise(mapping_.data(), mapping_.length(), MADV_WILLNEED);
}

}  // namespace tessello
