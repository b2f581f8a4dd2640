// The vector file ("vectors.bin"): parse_vectors_header on the first 64 bytes
// of the input (zero-filled when shorter), then the whole input as a file
// through open_vector_store. Random bytes rarely carry a valid header
// checksum, so the file is also opened once more with the checksum made
// right, which takes every input past the checksum into the checks of magic,
// version, dimensions and length. A file that opens has every allocated slot
// inside the mapping (each is read), and takes one more slot that reads back
// as written.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "storage/vectors.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

namespace {

template <class T>
T load(const std::uint8_t* p) {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
    return v;
}

void check_open(const std::vector<std::uint8_t>& file) {
    const std::filesystem::path path = fuzz::scratch_dir() / "vectors.bin";
    fuzz::write_file(path, file);
    const std::uint32_t dims = load<std::uint32_t>(&file[6]);
    auto store = open_vector_store(path, dims);
    if (!store) {
        const auto kind = store.error().kind();
        fuzz_check(kind == StoreError::Corruption || kind == StoreError::InvalidInput ||
                       kind == StoreError::DimensionsTooLarge,
                   "a refused vector file is Corruption or a dimensions error");
        return;
    }
    fuzz_check(store->dimensions() == dims && dims >= 1 && dims <= kMaxDimensions, "dimensions as stored, in range");
    fuzz_check(store->stride() == 4 * std::uint64_t{dims}, "the stride is four bytes a dimension");
    fuzz_check(kVectorsHeaderSize + store->slot_count() * store->stride() <= file.size(),
               "every allocated slot lies inside the file");
    float sum = 0;
    for (std::uint64_t slot = 0; slot < store->slot_count(); ++slot) {
        auto floats = store->read_slot(slot);
        fuzz_check(floats.has_value() && floats->size() == dims, "an allocated slot reads");
        for (float x : *floats) sum += x;
    }
    (void)sum;
    fuzz_check(!open_vector_store(path, std::uint64_t{dims} + 1), "other dimensions are refused");

    // One more slot: the store grows the file when it must.
    auto slot = store->append_slot();
    fuzz_check(slot.has_value() && *slot == store->slot_count() - 1, "a slot is appended");
    std::vector<float> vector(dims);
    for (std::uint32_t i = 0; i < dims; ++i) vector[i] = static_cast<float>(i) + 0.5f;
    fuzz_check(store->write_slot(*slot, vector).has_value(), "the new slot is written");
    auto back = store->read_slot(*slot);
    fuzz_check(back.has_value() && std::equal(back->begin(), back->end(), vector.begin()),
               "the new slot reads back as written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto header_bytes = std::make_unique<std::array<std::uint8_t, kVectorsHeaderSize>>();
    std::copy(data, data + std::min(size, kVectorsHeaderSize), header_bytes->begin());
    const std::span<const std::uint8_t, kVectorsHeaderSize> header(*header_bytes);
    const std::uint16_t version = load<std::uint16_t>(&header[4]);
    const std::uint32_t stored = load<std::uint32_t>(&header[18]);
    const bool checksum_ok = stored == header_checksum(header.first<18>(), version);
    auto parsed = parse_vectors_header(header);
    fuzz_check(parsed.has_value() == checksum_ok, "a header parses exactly when its checksum matches");
    if (parsed) {
        fuzz_check(parsed->magic == load<std::uint32_t>(&header[0]) && parsed->version == version &&
                       parsed->dimensions == load<std::uint32_t>(&header[6]) &&
                       parsed->slot_count == load<std::uint64_t>(&header[10]) && parsed->checksum == stored,
                   "the fields are the little-endian values at their offsets");
    } else {
        fuzz_check(parsed.error().kind() == StoreError::Corruption, "a bad checksum is Corruption");
    }
    if (size < kVectorsHeaderSize) return 0;

    std::vector<std::uint8_t> file(data, data + size);
    check_open(file);
    if (!checksum_ok) {
        const std::uint32_t right = header_checksum(header.first<18>(), version);
        for (int i = 0; i < 4; ++i) file[18 + i] = static_cast<std::uint8_t>(right >> (8 * i));
        check_open(file);
    }
    return 0;
}
