#include "storage/vectors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

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

// Temporary files of a creation: ".vectors.bin.<pid>-<n>.tmp" beside
// "vectors.bin", so that an interrupted creation can be recognised and its
// leftover removed by name.
std::string temp_prefix(const std::filesystem::path& path) { return "." + path.filename().string() + "."; }
constexpr std::string_view kTempSuffix = ".tmp";

// A file being built under a temporary name. Removed on release unless it
// was renamed into place.
class TempFile {
public:
    static Result<TempFile> create(const std::filesystem::path& target) {
        static std::atomic<std::uint64_t> counter{0};
        const std::string stem = (target.parent_path() / temp_prefix(target)).string();
        for (int attempt = 0;; ++attempt) {
            std::string name = stem + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) +
                               std::string(kTempSuffix);
            UniqueFd fd(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (fd.valid()) return TempFile(std::move(name), std::move(fd));
            // A leftover of an earlier process with the same id: take the next name.
            if (errno != EEXIST || attempt == 100) return fail_errno(errno);
        }
    }
    TempFile(TempFile&& other) noexcept : name_(std::move(other.name_)), fd_(std::move(other.fd_)) {
        other.name_.clear();
    }
    TempFile& operator=(TempFile&&) = delete;
    ~TempFile() {
        if (!name_.empty()) ::unlink(name_.c_str());
    }

    int fd() const { return fd_.get(); }
    // Renames the file to target; from then on it is no longer removed.
    Status rename_to(const std::filesystem::path& target) {
        if (auto st = sys_rename(name_, target.string()); !st) return st;
        name_.clear();
        return {};
    }
    UniqueFd take_fd() { return std::move(fd_); }

private:
    TempFile(std::string name, UniqueFd fd) : name_(std::move(name)), fd_(std::move(fd)) {}
    std::string name_;
    UniqueFd fd_;
};

std::array<std::uint8_t, kVectorsHeaderSize> new_header(std::uint64_t dimensions) {
    std::array<std::uint8_t, kVectorsHeaderSize> h{};
    store_le(h.data() + 0, kVectorsMagic);
    store_le(h.data() + 4, kVectorsVersion);
    store_le(h.data() + 6, static_cast<std::uint32_t>(dimensions));
    store_le(h.data() + 10, std::uint64_t{0});
    store_le(h.data() + 18, header_checksum(std::span<const std::uint8_t, 18>(h.data(), 18), kVectorsVersion));
    return h;
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
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Mapping::~Mapping() { unmap(); }

void Mapping::unmap() {
    if (data_) munmap(data_, length_ == 0 ? 1 : length_);
    data_ = nullptr;
    length_ = 0;
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
    // The count (bytes 10 to 17) and its checksum (18 to 21) reach the
    // mapping in one store of header bytes 8 to 23: a process killed between
    // two separate stores would leave a header that never opens again.
    std::uint8_t* h = mapping_.data();
    std::array<std::uint8_t, 24> next;
    std::memcpy(next.data(), h, next.size());
    store_le(next.data() + 10, count);
    store_le(next.data() + 18, header_checksum(std::span<const std::uint8_t, 18>(next.data(), 18), version_));
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next.data() + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 8), bytes);
#else
    std::memcpy(h + 8, next.data() + 8, 16);
#endif
    slot_count_ = count;
}

// ---- create / open ---------------------------------------------------------

Result<VectorStore> create_vector_store(const std::filesystem::path& path, std::uint64_t dimensions) {
    if (auto st = validate_dimensions(dimensions); !st) return fail(st.error());
    const std::uint64_t length = kVectorsHeaderSize + 4096 * dimensions;
    auto temp = TempFile::create(path);
    if (!temp) return fail(temp.error());
    const auto header = new_header(dimensions);
    if (auto st = sys_pwrite_all(temp->fd(), header.data(), header.size(), 0); !st) return fail(st.error());
    // The room for the slots: reserved blocks that read as zeros.
    if (auto st = sys_reserve(temp->fd(), 0, length); !st) return fail(st.error());
    if (auto st = sys_fsync(temp->fd()); !st) return fail(st.error());
    if (auto st = temp->rename_to(path); !st) return fail(st.error());
    if (auto st = sys_fsync_dir(path.parent_path().string()); !st) return fail(st.error());

    VectorStore store;
    store.file_ = temp->take_fd();
    auto mapping = map_whole_file(store.file_.get());
    if (!mapping) return fail(mapping.error());
    store.mapping_ = std::move(*mapping);
    if (store.mapping_.length() < kVectorsHeaderSize)
        return fail(StoreError::Corruption, "Vector file too small for header");
    store.dimensions_ = dimensions;
    store.slot_count_ = 0;
    store.stride_ = dimensions * 4;
    store.version_ = kVectorsVersion;
    store.reserved_ = true;
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

void remove_unfinished_creations(const std::filesystem::path& path) {
    const std::filesystem::path dir = path.parent_path().empty() ? "." : path.parent_path();
    const std::string prefix = temp_prefix(path);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* entry = ::readdir(d)) {
        const std::string_view name = entry->d_name;
        if (name.size() > prefix.size() + kTempSuffix.size() && name.starts_with(prefix) &&
            name.ends_with(kTempSuffix))
            (void)::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    ::closedir(d);
}

bool is_unfinished_vector_file(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    std::uint8_t header[kVectorsHeaderSize];
    std::size_t got = 0;
    while (got < sizeof header) {
        const ssize_t n = ::pread(fd.get(), header + got, sizeof header - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;  // shorter than a header
        got += static_cast<std::size_t>(n);
    }
    for (const std::uint8_t b : header)
        if (b != 0) return false;
    return true;
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
    return sys_pwrite_all(file_.get(), vector.data(), stride_, kVectorsHeaderSize + slot * stride_);
}

template <class Rows>
Status VectorStore::write_rows(std::span<const std::uint64_t> slots, const Rows& vectors) {
    // The checks of write_slot first, so that the writes stop where its
    // sequence would.
    std::size_t good = 0;
    Status refused;
    for (; good < slots.size(); ++good) {
        if (vectors[good].size() != dimensions_) {
            refused = fail(StoreError::dimension_mismatch(dimensions_, vectors[good].size()));
            break;
        }
        if (slots[good] >= slot_count_) {
            refused = fail(StoreError::RecordNotFound, "Slot " + std::to_string(slots[good]) + " not allocated");
            break;
        }
    }
    if (good > 0)
        if (auto st = reserve_before_writing(); !st) return st;
    std::vector<iovec> run;
    run.reserve(good);
    std::size_t i = 0;
    while (i < good) {
        const std::uint64_t start = slots[i];
        run.clear();
        for (std::uint64_t next = start; i < good && slots[i] == next; ++i, ++next) {
            auto* data = const_cast<float*>(vectors[i].data());
            const auto size = static_cast<std::size_t>(stride_);
            // Rows that follow each other in memory go out as one buffer.
            if (!run.empty() && static_cast<char*>(run.back().iov_base) + run.back().iov_len == reinterpret_cast<char*>(data))
                run.back().iov_len += size;
            else
                run.push_back(iovec{data, size});
        }
        if (auto st = sys_pwritev_all(file_.get(), run, kVectorsHeaderSize + start * stride_); !st) return st;
    }
    return refused;
}

Status VectorStore::write_slots(std::span<const std::uint64_t> slots, std::span<const std::vector<float>> vectors) {
    return write_rows(slots, vectors);
}

Status VectorStore::write_slots(std::span<const std::uint64_t> slots, const RowBlock& vectors) {
    return write_rows(slots, vectors);
}

Status VectorStore::write_slots(std::span<const std::uint64_t> slots, std::span<const std::span<const float>> vectors) {
    return write_rows(slots, vectors);
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

// ---- durability ------------------------------------------------------------

Status VectorStore::sync_mapping() const {
    return sys_msync(mapping_.data(), mapping_.length() == 0 ? 1 : mapping_.length());
}

Status VectorStore::fsync_file() const { return sys_fsync(file_.get()); }

// A store through the shared mapping marks its page dirty in the file's page
// cache when the store is let through (the write fault on a clean page does
// it), and a positional write dirties the same page cache: fsync writes both
// kinds alike. A synchronous msync first would flush the same pages and the
// device's cache once more for nothing.
Status VectorStore::sync_vectors() const { return fsync_file(); }

void VectorStore::preload() const {
    (void)madvise(mapping_.data(), mapping_.length(), MADV_WILLNEED);
}

}  // namespace tessello
