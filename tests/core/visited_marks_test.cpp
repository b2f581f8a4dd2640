#include "search/hnsw/visited_marks.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tessello {
namespace {

TEST(VisitedMarksTest, EachWalkStartsEmptyAndTheSetGrowsWithTheGraph) {
    VisitedMarks visited;
    visited.start(3);
    EXPECT_TRUE(visited.insert(2));
    EXPECT_FALSE(visited.insert(2));
    EXPECT_TRUE(visited.insert(0));
    // A larger graph: new nodes start unvisited, and the old marks are gone.
    visited.start(40);
    EXPECT_TRUE(visited.insert(39));
    EXPECT_TRUE(visited.insert(2));
    EXPECT_FALSE(visited.insert(39));
    // A smaller one after it reuses the marks as they are.
    visited.start(1);
    EXPECT_TRUE(visited.insert(0));
    EXPECT_FALSE(visited.insert(0));
}

TEST(VisitedMarksTest, ANodeMarkedLongAgoIsNotVisitedWhenTheEpochComesRound) {
    // The marks are 16 bits: in walk j node j is marked, and the nodes marked
    // 65535 and 65536 walks before must not look visited, before or after
    // the epoch wraps.
    constexpr std::uint32_t kWalks = 70000;
    VisitedMarks visited(kWalks);
    std::uint32_t wrong = 0;
    for (std::uint32_t j = 0; j < kWalks; ++j) {
        visited.start(kWalks);
        if (!visited.insert(j) || visited.insert(j)) ++wrong;
        if (j >= 65535 && !visited.insert(j - 65535)) ++wrong;
        if (j >= 65536 && !visited.insert(j - 65536)) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace tessello
