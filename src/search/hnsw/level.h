#pragma once
// draw_level: the top layer of a graph node, drawn from its vector slot alone,
// so every build and every insert gives a slot the same level whatever the
// order or thread. The slot seeds a ChaCha12 generator (through the PCG32
// seed expansion), the first 64 output bits give a uniform u in [0, 1), and
// the level is floor(-ln(u) x level_multiplier) clamped to 0..32 (a NaN or a
// negative product gives 0).
#include <cstdint>

#include "search/hnsw/chacha12.h"

namespace tessello {

// The 32-byte ChaCha key expanded from a 64-bit seed: eight PCG32 steps, each
// output word taken from the new state and stored little-endian.
ChaChaKey expand_seed(std::uint64_t seed);

// The first 64 bits of the slot's ChaCha12 stream (block 0, stream 0; the
// first output word is the low half).
std::uint64_t level_random(std::uint64_t slot);

std::uint8_t draw_level(std::uint64_t slot, double level_multiplier);

}  // namespace tessello
