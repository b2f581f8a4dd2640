#include "search/hnsw/chacha12.h"

#include <bit>

namespace tessello {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter_round(ChaChaBlock& x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, unsigned rounds) {
    ChaChaBlock input;
    for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = load_le32(key.data() + 4 * i);
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    ChaChaBlock x = input;
    for (unsigned r = 0; r + 2 <= rounds; r += 2) {
        // Column round.
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        // Diagonal round.
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

}  // namespace tessello
