#include "search/hnsw/level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "search/hnsw/chacha12.h"
#include "search/hnsw/hnsw_graph.h"

namespace tessello {
namespace {

// The published 20-round block test vector (key 00..1f, block counter 1,
// nonce 00000009 0000004a 00000000): checks the quarter-round, the state
// layout and the final addition that the 12-round generator shares.
TEST(ChaChaTest, TwentyRoundBlockMatchesThePublishedVector) {
    ChaChaKey key;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
    // Words 12-15 of the state: counter 1, then the three nonce words.
    const std::uint64_t counter = 1 | (std::uint64_t{0x09000000} << 32);
    const std::uint64_t stream = 0x4a000000;
    const ChaChaBlock want = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                              0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                              0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(key, counter, stream, 20), want);
}

TEST(LevelDrawTest, RandomValueOfSlots) {
    EXPECT_EQ(level_random(0), 0xBB2A3FB2CD2C6F7Full);
    EXPECT_EQ(level_random(7), 0x07C2E0E96AA8FBBEull);
}

TEST(LevelDrawTest, LevelsOfKnownSlots) {
    struct Case {
        std::uint64_t slot;
        std::uint8_t at_one;
        std::uint8_t at_inverse_ln16;
    };
    const Case cases[] = {{0, 0, 0}, {2, 1, 0}, {3, 2, 0}, {7, 3, 1}, {86, 6, 2}};
    const double inverse_ln16 = 1.0 / std::log(16.0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        EXPECT_EQ(draw_level(c.slot, 1.0), c.at_one);
        EXPECT_EQ(draw_level(c.slot, inverse_ln16), c.at_inverse_ln16);
        // A pure function of slot and multiplier.
        EXPECT_EQ(draw_level(c.slot, 1.0), draw_level(c.slot, 1.0));
    }
}

TEST(LevelDrawTest, ZeroNegativeAndNaNMultipliersGiveLevelZero) {
    const double multipliers[] = {0.0, -0.0, -1.0, -1e300, -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()};
    for (const double m : multipliers) {
        for (std::uint64_t slot = 0; slot < 200; ++slot) ASSERT_EQ(draw_level(slot, m), 0) << m << " " << slot;
    }
}

TEST(LevelDrawTest, HugeMultipliersAreCappedAt32) {
    int at_cap = 0;
    for (std::uint64_t slot = 0; slot < 1000; ++slot) {
        ASSERT_EQ(draw_level(slot, 1e300), kMaxHnswLevel);
        ASSERT_EQ(draw_level(slot, std::numeric_limits<double>::infinity()), kMaxHnswLevel);
        const std::uint8_t level = draw_level(slot, 1e6);
        ASSERT_LE(level, kMaxHnswLevel);
        at_cap += level == kMaxHnswLevel;
    }
    EXPECT_GE(at_cap, 990);
    // Slots far from 0 draw like any other.
    EXPECT_LE(draw_level(~std::uint64_t{0}, 1e300), kMaxHnswLevel);
}

TEST(LevelDrawTest, LevelsFollowTheGeometricLaw) {
    // With multiplier 1/ln 16, a level of at least 1 has probability 1/16.
    int above = 0;
    const double inverse_ln16 = 1.0 / std::log(16.0);
    for (std::uint64_t slot = 0; slot < 16000; ++slot) above += draw_level(slot, inverse_ln16) >= 1;
    EXPECT_GT(above, 800);
    EXPECT_LT(above, 1200);
}

}  // namespace
}  // namespace tessello
