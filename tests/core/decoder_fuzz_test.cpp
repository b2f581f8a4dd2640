// Random and truncated byte strings through every stored-value decoder and the
// vector-file header parser: each must return a value or an error, never read
// outside its input (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <random>

#include "storage/freelist.h"
#include "storage/hnsw_config.h"
#include "storage/record.h"
#include "storage/registry.h"
#include "storage/vectors.h"

namespace tessello {
namespace {

// Decodes exactly the given bytes from a heap block of their size, so a read
// one past the end is caught.
template <class F>
void on_exact_copy(const std::vector<std::uint8_t>& bytes, F&& decode) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    decode(Bytes(copy.get(), bytes.size()));
}

void decode_all(Bytes b) {
    (void)decode_record(b);
    (void)decode_collection_config(b);
    (void)decode_freelist(b);
    ByteReader in(b);
    (void)decode_hnsw_config(in);
    if (b.size() >= kVectorsHeaderSize)
        (void)parse_vectors_header(std::span<const std::uint8_t, kVectorsHeaderSize>(b.data(), kVectorsHeaderSize));
}

TEST(DecoderFuzzTest, RandomAndTruncatedInputs) {
    std::mt19937_64 rng(12345);
    std::vector<std::vector<std::uint8_t>> seeds = {
        encode_record(Record{"id-1", 3, "{\"a\":[1,2]}", 17, 99, RecordState::Pending}),
        encode_collection_config(CollectionConfig{"coll", 8, Metric::L2, 5, HnswConfig{1, 2, 3, 4, 5, 0.5, 6}}),
        encode_freelist({1, 2, 3, 4}),
    };
    for (const auto& seed : seeds) {
        for (std::size_t n = 0; n <= seed.size(); ++n)
            on_exact_copy(std::vector<std::uint8_t>(seed.begin(), seed.begin() + n), decode_all);
        for (int round = 0; round < 2000; ++round) {
            auto mutated = seed;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int f = 0; f < flips; ++f) mutated[rng() % mutated.size()] = static_cast<std::uint8_t>(rng());
            mutated.resize(rng() % (mutated.size() + 1));
            on_exact_copy(mutated, decode_all);
        }
    }
    for (int round = 0; round < 5000; ++round) {
        std::vector<std::uint8_t> junk(rng() % 128);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        // Small lengths in the length prefixes reach deeper into the decoders.
        if (junk.size() > 8 && round % 2 == 0) std::fill(junk.begin() + 1, junk.begin() + 8, 0);
        on_exact_copy(junk, decode_all);
    }
}

}  // namespace
}  // namespace tessello
