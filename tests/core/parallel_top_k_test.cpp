#include "search/parallel_top_k.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace tessello {
namespace {

// The reference: every pair pushed in item order into one collector.
std::vector<ScoredIndex> sequential(const std::vector<std::optional<float>>& scores, std::uint64_t k, bool higher) {
    TopK top(k, higher, scores.size() + 1);
    for (std::uint64_t i = 0; i < scores.size(); ++i)
        if (scores[i]) topk_push(top, i, *scores[i]);
    return std::move(top).take_entries();
}

TEST(ParallelTopKTest, EqualsThePushOfEveryPairInOrder) {
    std::mt19937 rng(11);
    WorkerPool one(1), eight(8);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 500 + rng() % 20000;
        std::vector<std::optional<float>> scores(n);
        for (auto& s : scores) {
            const unsigned r = rng() % 100;
            if (r < 5)
                s = std::nullopt;  // a skipped item
            else if (r < 7)
                s = NAN;
            else
                s = float(rng() % 17);  // many ties
        }
        const auto per_item = [&](std::uint64_t i) { return scores[i]; };
        for (bool higher : {true, false}) {
            for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{333}}) {
                const auto expected = sequential(scores, k, higher);
                for (WorkerPool* pool : {&one, &eight}) {
                    const auto got = parallel_top_k(*pool, n, per_item, k, higher);
                    ASSERT_EQ(got.size(), expected.size());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].index, expected[i].index) << "round " << round << " k " << k;
                        ASSERT_TRUE(got[i].score == expected[i].score ||
                                    (std::isnan(got[i].score) && std::isnan(expected[i].score)));
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace tessello
