#include "search/hnsw/level.h"

#include <bit>
#include <cmath>

#include "search/hnsw/hnsw_graph.h"

namespace tessello {
namespace {

constexpr std::uint64_t kPcgMultiplier = 0x5851F42D4C957F2Dull;
constexpr std::uint64_t kPcgIncrement = 0xA17654E46FBE17F3ull;
// 2^-53: turns the top 53 bits of a draw into a double in [0, 1).
constexpr double kUnitScale = 1.0 / 9007199254740992.0;

}  // namespace

ChaChaKey expand_seed(std::uint64_t seed) {
    ChaChaKey key{};
    std::uint64_t s = seed;
    for (int w = 0; w < 8; ++w) {
        s = s * kPcgMultiplier + kPcgIncrement;
        // XSH-RR output permutation of the new state.
        const auto t = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto q = static_cast<int>(s >> 59);
        const std::uint32_t word = std::rotr(t, q);
        for (int b = 0; b < 4; ++b) key[4 * w + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return key;
}

std::uint64_t level_random(std::uint64_t slot) {
    const ChaChaBlock block = chacha12_block(expand_seed(slot), 0, 0);
    return static_cast<std::uint64_t>(block[0]) | static_cast<std::uint64_t>(block[1]) << 32;
}

std::uint8_t draw_level(std::uint64_t slot, double level_multiplier) {
    const double u = static_cast<double>(level_random(slot) >> 11) * kUnitScale;
    const double v = std::floor(-std::log(u) * level_multiplier);
    // Written so that NaN falls to 0 (every comparison with it is false).
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(kMaxHnswLevel)) return kMaxHnswLevel;
    return static_cast<std::uint8_t>(v);
}

}  // namespace tessello
