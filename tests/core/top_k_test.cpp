#include "search/top_k.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tessello {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<ScoredIndex> push_all(std::uint64_t k, bool higher, const std::vector<float>& scores) {
    TopK top(k, higher, scores.size() + 1);
    for (std::size_t i = 0; i < scores.size(); ++i) topk_push(top, i, scores[i]);
    EXPECT_LE(top.entries().size(), k);
    return top.entries();
}

std::vector<std::uint64_t> indices(const std::vector<ScoredIndex>& entries) {
    std::vector<std::uint64_t> out;
    for (const ScoredIndex& e : entries) out.push_back(e.index);
    return out;
}

// The first min(k, n) pairs of a stable best-first sort, NaN ranked last.
std::vector<ScoredIndex> stable_reference(std::uint64_t k, bool higher, const std::vector<float>& scores) {
    std::vector<ScoredIndex> all;
    for (std::size_t i = 0; i < scores.size(); ++i) all.push_back({scores[i], i});
    std::stable_sort(all.begin(), all.end(), [higher](const ScoredIndex& x, const ScoredIndex& y) {
        if (std::isnan(x.score)) return false;
        if (std::isnan(y.score)) return true;
        return higher ? x.score > y.score : x.score < y.score;
    });
    if (all.size() > k) all.resize(k);
    return all;
}

// Equality that also treats two NaN scores as the same score.
void expect_same(const std::vector<ScoredIndex>& got, const std::vector<ScoredIndex>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].index, want[i].index) << "entry " << i;
        const bool both_nan = std::isnan(got[i].score) && std::isnan(want[i].score);
        if (!both_nan) {
            EXPECT_EQ(got[i].score, want[i].score) << "entry " << i;
        }
    }
}

// Scores pushed in order as indices 0, 1, ...; the indices kept, best first.
struct Case {
    const char* name;
    std::uint64_t k;
    bool higher;
    std::vector<float> scores;
    std::vector<std::uint64_t> want;
};

TEST(TopKTest, DirectionsAndTies) {
    const Case cases[] = {
        {"descending", 3, true, {0.1f, 0.9f, 0.5f, 0.7f, 0.2f}, {1, 3, 2}},
        {"ascending", 3, false, {0.1f, 0.9f, 0.5f, 0.7f, 0.2f}, {0, 4, 2}},
        {"earlier tie ranks first", 4, true, {0.5f, 0.8f, 0.5f, 0.8f}, {1, 3, 0, 2}},
        // Full collector: a later pair equal to the worst kept one is dropped...
        {"tie with the worst is dropped", 2, true, {0.9f, 0.5f, 0.5f}, {0, 1}},
        {"tie with the worst is dropped, ascending", 2, false, {1.0f, 2.0f, 2.0f}, {0, 1}},
        // ...while a strictly better one pushes the worst out.
        {"better replaces the worst", 2, true, {0.9f, 0.5f, 0.6f}, {0, 2}},
        {"all equal keeps the first k", 3, false, {4.0f, 4.0f, 4.0f, 4.0f, 4.0f}, {0, 1, 2}},
        {"signed zeros are equal", 3, true, {-0.0f, 0.0f, -0.0f}, {0, 1, 2}},
        {"infinities", 3, true, {-kInf, 1.0f, kInf, -kInf}, {2, 1, 0}},
        {"fewer than k", 10, false, {3.0f, 1.0f, 2.0f}, {1, 2, 0}},
        {"k = 1", 1, true, {1.0f, 3.0f, 3.0f, 2.0f}, {1}},
        {"k = 0", 0, true, {1.0f, kNaN, -kInf, kInf}, {}},
        {"k = 0 ascending", 0, false, {1.0f, kNaN, kInf, -kInf}, {}},
        {"empty", 5, true, {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(indices(push_all(c.k, c.higher, c.scores)), c.want) << c.name;
    }
}

TEST(TopKTest, NaNRanksBelowEveryNumber) {
    const Case cases[] = {
        {"kept behind numbers while there is room", 4, true, {kNaN, 0.5f, kNaN, -kInf}, {1, 3, 0, 2}},
        {"ascending too", 4, false, {kNaN, 0.5f, kNaN, kInf}, {1, 3, 0, 2}},
        {"pushed out by numbers", 2, true, {kNaN, kNaN, 0.1f, 0.2f}, {3, 2}},
        {"dropped when full", 2, false, {1.0f, 2.0f, kNaN}, {0, 1}},
        {"a number after NaNs still sorts", 3, true, {kNaN, 5.0f, kNaN, 7.0f, 6.0f}, {3, 4, 1}},
        {"NaNs only, push order", 2, true, {kNaN, kNaN, kNaN}, {0, 1}},
    };
    for (const Case& c : cases) {
        const std::vector<ScoredIndex> got = push_all(c.k, c.higher, c.scores);
        EXPECT_EQ(indices(got), c.want) << c.name;
        expect_same(got, stable_reference(c.k, c.higher, c.scores));
    }
}

TEST(TopKTest, MatchesStableSortOfEverythingPushed) {
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const bool higher = round % 2 == 0;
        const bool with_nan = round % 5 == 4;
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 300)(rng);
        const std::uint64_t k = std::uniform_int_distribution<std::uint64_t>(0, 40)(rng);
        // Few distinct values, so ties are everywhere.
        std::uniform_int_distribution<int> value(-6, 6);
        std::vector<float> scores(n);
        for (float& s : scores) {
            const int v = value(rng);
            s = with_nan && v == 6 ? kNaN : static_cast<float>(v) * 0.25f;
        }
        expect_same(push_all(k, higher, scores), stable_reference(k, higher, scores));
        if (HasFailure()) {
            ADD_FAILURE() << "round " << round << " n=" << n << " k=" << k;
            return;
        }
    }
}

TEST(TopKTest, HugeKReservesOnlyWhatTheHintAllows) {
    TopK top(std::numeric_limits<std::uint64_t>::max(), false, 4);
    EXPECT_EQ(top.k(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(top.higher_is_better());
    EXPECT_LE(top.entries().capacity(), 16u);
    for (std::uint64_t i = 0; i < 3; ++i) topk_push(top, i, static_cast<float>(3 - i));
    EXPECT_EQ(indices(top.entries()), (std::vector<std::uint64_t>{2, 1, 0}));
}

}  // namespace
}  // namespace tessello
