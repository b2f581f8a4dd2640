#include "storage/hnsw_config.h"

#include <bit>

namespace tessello {

void write_hnsw_config(const HnswConfig& c, ByteWriter& out) {
    out.u64(c.m);
    out.u64(c.m0);
    out.u64(c.max_m);
    out.u64(c.ef_construction);
    out.u64(c.ef_search);
    out.f64(c.level_multiplier);
    out.u64(c.reserved);
}

Result<HnswConfig> decode_hnsw_config(ByteReader& in) {
    if (in.remaining() < kHnswConfigSize) return fail(unexpected_eof());
    HnswConfig c;
    // Enough bytes remain, so none of these reads can fail.
    c.m = *in.u64();
    c.m0 = *in.u64();
    c.max_m = *in.u64();
    c.ef_construction = *in.u64();
    c.ef_search = *in.u64();
    c.level_multiplier = *in.f64();
    c.reserved = *in.u64();
    return c;
}

bool same_hnsw_config(const HnswConfig& a, const HnswConfig& b) {
    return a.m == b.m && a.m0 == b.m0 && a.max_m == b.max_m && a.ef_construction == b.ef_construction &&
           a.ef_search == b.ef_search &&
           std::bit_cast<std::uint64_t>(a.level_multiplier) == std::bit_cast<std::uint64_t>(b.level_multiplier) &&
           a.reserved == b.reserved;
}

}  // namespace tessello
