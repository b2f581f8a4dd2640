#pragma once
// HnswConfig: the seven 8-byte parameters of a collection's graph index, kept
// exactly as stored (never validated, no defaults). Encoded as 56 bytes: the
// fields in order, little-endian, level_multiplier as its binary64 bits.
#include <cstdint>
#include <vector>

#include "base/binary_codec.h"

namespace tessello {

struct HnswConfig {
    std::uint64_t m = 0;
    std::uint64_t m0 = 0;
    std::uint64_t max_m = 0;
    std::uint64_t ef_construction = 0;
    std::uint64_t ef_search = 0;
    double level_multiplier = 0.0;
    std::uint64_t reserved = 0;  // kept and saved, never read
};

inline constexpr std::size_t kHnswConfigSize = 56;

// Appends the 56 bytes.
void write_hnsw_config(const HnswConfig& config, ByteWriter& out);
// Consumes exactly 56 bytes; fewer remaining is the decoder's end-of-input error.
Result<HnswConfig> decode_hnsw_config(ByteReader& in);

// Field-wise equality that compares level_multiplier by its bits.
bool same_hnsw_config(const HnswConfig& a, const HnswConfig& b);

}  // namespace tessello
