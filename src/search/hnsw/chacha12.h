#pragma once
// The ChaCha block function, built from the cipher's definition: a 4x4 state
// of 32-bit words (the four constants of "expand 32-byte k", eight key words
// read little-endian, a 64-bit block counter in words 12-13 and a 64-bit
// stream number in words 14-15, low word first), double rounds of column and
// diagonal quarter-rounds, and the input state added back at the end.
//
// The level draw only ever needs block 0 of the 12-round variant; the round
// count is a parameter so the function can be checked against the published
// 20-round vectors.
#include <array>
#include <cstdint>
#include <span>

namespace tessello {

using ChaChaKey = std::array<std::uint8_t, 32>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

// One keystream block after `rounds` rounds (an even number: rounds / 2
// double rounds).
ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, unsigned rounds);

// The 12-round block.
inline ChaChaBlock chacha12_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
    return chacha_block(key, counter, stream, 12);
}

}  // namespace tessello
