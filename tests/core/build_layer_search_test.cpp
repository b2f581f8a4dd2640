#include "search/hnsw/build_layer_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "search/hnsw/build_lists.h"

namespace tessello {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// One layer of hand-made links whose nodes score exactly as given: node u has
// the single code u, and table entry u is its score (0 + score = score).
class HandLayer {
public:
    HandLayer(std::vector<float> scores, const std::vector<std::vector<std::uint32_t>>& links)
        : levels_(scores.size(), 0), lists_(levels_, 0), table_(256, 0.0f), scratch_(scores.size()) {
        for (std::size_t u = 0; u < scores.size(); ++u) {
            table_[u] = scores[u];
            codes_.codes.push_back(static_cast<std::uint8_t>(u));
        }
        codes_.num_vectors = scores.size();
        codes_.num_subquantizers = 1;
        for (std::size_t u = 0; u < links.size(); ++u) lists_.set_chosen(0, static_cast<std::uint32_t>(u), links[u]);
    }

    // With the layer's own scratch, or with one that other layers use too.
    std::vector<BuildCandidate> search(std::uint32_t start, std::uint64_t ef, Metric metric,
                                       LayerSearchScratch* scratch = nullptr) {
        const AdcScorer scorer{table_, &codes_};
        return layer_search(lists_, 0, start, ef, metric, scorer, calcs, scratch ? *scratch : scratch_);
    }

    std::atomic<std::uint64_t> calcs{0};

private:
    std::vector<std::uint8_t> levels_;
    BuildLists lists_;
    std::vector<float> table_;
    PqCodes codes_;
    LayerSearchScratch scratch_;
};

std::vector<std::uint32_t> nodes_of(const std::vector<BuildCandidate>& w) {
    std::vector<std::uint32_t> out;
    for (const BuildCandidate& c : w) out.push_back(c.node);
    return out;
}

TEST(BuildLayerSearchTest, AdmitsInPopOrderBestFirst) {
    HandLayer layer({0.0f, 1.0f, 3.0f, 2.0f}, {{1, 2, 3}});
    EXPECT_EQ(nodes_of(layer.search(0, 10, Metric::Dot)), (std::vector<std::uint32_t>{0, 2, 3, 1}));
    EXPECT_EQ(layer.calcs.load(), 4u);
    EXPECT_EQ(nodes_of(layer.search(0, 10, Metric::L2)), (std::vector<std::uint32_t>{0, 1, 3, 2}));
}

TEST(BuildLayerSearchTest, EfOneExpandsTheSecondCandidateThenOnlyStrictlyBetterOnes) {
    // L2. s=0 (5) -> b=1 (9) -> f=2 (2) -> {g=3 (2), h=4 (1)}; g -> j=5 (0).
    // b is worse than s but is admitted (worst still +inf), displaces
    // itself, and is expanded all the same, which finds f. g only equals W's
    // entry, so it is never pushed and j is never reached.
    HandLayer layer({5.0f, 9.0f, 2.0f, 2.0f, 1.0f, 0.0f}, {{1}, {2}, {3, 4}, {5}, {}, {}});
    EXPECT_EQ(nodes_of(layer.search(0, 1, Metric::L2)), (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(layer.calcs.load(), 5u);  // s, b, f, g, h
}

TEST(BuildLayerSearchTest, FullListDropsItsWorstEntry) {
    struct Case {
        const char* name;
        Metric metric;
        std::vector<float> scores;
        std::vector<std::vector<std::uint32_t>> links;
        std::vector<std::uint32_t> want;
    };
    const Case cases[] = {
        // Equal lowest scores: the first of them (node 1) leaves, node 2 takes its place.
        {"higher-is-better drops the first of equals", Metric::Dot, {10, 5, 5}, {{1}, {2}}, {0, 2}},
        // Equal highest scores: the last of them, the newcomer itself, leaves.
        {"lower-is-better drops the last of equals", Metric::L2, {1, 5, 5}, {{1}, {2}}, {0, 1}},
        // The newcomer stands where the displaced entry stood.
        {"newcomer takes the displaced place", Metric::Dot, {3, 10, 5}, {{1}, {2}}, {2, 1}},
        {"newcomer takes the displaced place (L2)", Metric::L2, {3, 1, 2}, {{1}, {2}}, {2, 1}},
        {"cosine ranks like dot", Metric::Cosine, {10, 5, 5}, {{1}, {2}}, {0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandLayer layer(c.scores, c.links);
        EXPECT_EQ(nodes_of(layer.search(0, 2, c.metric)), c.want);
    }
}

TEST(BuildLayerSearchTest, EfZeroReturnsNothing) {
    HandLayer layer({1.0f, 2.0f, 3.0f}, {{1, 2}, {0}, {0}});
    EXPECT_TRUE(layer.search(0, 0, Metric::L2).empty());
    EXPECT_TRUE(layer.search(1, 0, Metric::Dot).empty());
}

TEST(BuildLayerSearchTest, NaNScoresRankLastAndLeaveFirst) {
    for (const Metric metric : {Metric::Dot, Metric::L2}) {
        SCOPED_TRACE(static_cast<int>(metric));
        // The NaN start is admitted while W has room, then displaced.
        const float better = metric == Metric::Dot ? 2.0f : 1.0f;
        const float worse = metric == Metric::Dot ? 1.0f : 2.0f;
        HandLayer layer({kNaN, worse, better}, {{1, 2}});
        EXPECT_EQ(nodes_of(layer.search(0, 2, metric)), (std::vector<std::uint32_t>{1, 2}));
        // A NaN candidate never enters a full W.
        HandLayer full({1.0f, kNaN}, {{1}});
        EXPECT_EQ(nodes_of(full.search(0, 1, metric)), (std::vector<std::uint32_t>{0}));
    }
}

// The search written out plainly: W kept in a vector, and on every
// displacement scanned for the entry to drop and again for the new bound.
std::vector<BuildCandidate> plain_search(const std::vector<float>& scores,
                                         const std::vector<std::vector<std::uint32_t>>& links, std::uint32_t start,
                                         std::uint64_t ef, bool higher) {
    const float start_bound = higher ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    std::vector<BuildCandidate> w;
    float bound = start_bound;
    auto accepts = [&](float s) { return w.size() < ef || score_ranks_before(s, bound, higher); };
    std::vector<WalkCandidate> storage;
    std::vector<bool> visited(scores.size(), false);
    // A node's one code looks its score up, added to a sum from 0 (so -0 scores +0).
    auto score = [&](std::uint32_t u) { return 0.0f + scores[u]; };
    auto walk = [&](auto& queue) {
        visited[start] = true;
        queue.push(start, score(start));
        while (!queue.empty()) {
            const WalkCandidate c = queue.pop();
            if (!accepts(c.score)) break;
            const bool was_full = w.size() == ef;
            w.push_back(c);
            if (was_full) {
                std::size_t worst = 0;
                for (std::size_t i = 1; i < w.size(); ++i) {
                    const bool replace = higher ? score_ranks_before(w[worst].score, w[i].score, true)
                                                : !score_ranks_before(w[i].score, w[worst].score, false);
                    if (replace) worst = i;
                }
                w[worst] = w.back();
                w.pop_back();
                bound = start_bound;
                bool any = false;
                for (const BuildCandidate& e : w) {
                    if (std::isnan(e.score)) continue;
                    if (!any || (higher ? e.score < bound : e.score > bound)) bound = e.score;
                    any = true;
                }
            }
            if (c.node >= links.size()) continue;
            for (const std::uint32_t x : links[c.node]) {
                if (visited[x]) continue;
                visited[x] = true;
                if (accepts(score(x))) queue.push(x, score(x));
            }
        }
    };
    if (higher) {
        HeapQueue<BestFirstNaNLast<true>> queue(storage);
        walk(queue);
    } else {
        HeapQueue<BestFirstNaNLast<false>> queue(storage);
        walk(queue);
    }
    return w;
}

TEST(BuildLayerSearchTest, RandomLayersMatchThePlainSearch) {
    // Few distinct scores, so displacements meet ties all the time; some
    // layers hold NaN scores and signed zeros too. Small ef values fill W early
    // and displace often; one scratch serves every search.
    struct Case {
        const char* name;
        std::vector<float> alphabet;
    };
    const Case cases[] = {
        {"four values", {0.0f, 1.0f, 2.0f, 3.0f}},
        {"signed zeros", {-0.0f, 0.0f, 1.0f, -1.0f}},
        {"NaN among numbers", {kNaN, 0.5f, 1.0f, 2.0f, 2.0f, 3.0f}},
        {"many values", {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.1f, 1.2f, 1.3f}},
    };
    std::mt19937 rng(7);
    LayerSearchScratch shared(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int graph = 0; graph < 40; ++graph) {
            const std::size_t n = 20 + rng() % 200;
            std::vector<float> scores(n);
            for (float& s : scores) s = c.alphabet[rng() % c.alphabet.size()];
            std::vector<std::vector<std::uint32_t>> links(n);
            const std::size_t degree = 2 + rng() % 12;
            for (std::size_t u = 0; u < n; ++u) {
                for (std::size_t k = 0; k < degree; ++k) {
                    const auto v = static_cast<std::uint32_t>(rng() % n);
                    if (v != u && std::find(links[u].begin(), links[u].end(), v) == links[u].end())
                        links[u].push_back(v);
                }
            }
            HandLayer layer(scores, links);
            for (const std::uint64_t ef : {1u, 2u, 3u, 5u, 16u, 40u, 1000u}) {
                for (const Metric metric : {Metric::Dot, Metric::L2}) {
                    const auto start = static_cast<std::uint32_t>(rng() % n);
                    const std::vector<BuildCandidate> got = layer.search(start, ef, metric, &shared);
                    const std::vector<BuildCandidate> want =
                        plain_search(scores, links, start, ef, higher_is_better(metric));
                    ASSERT_EQ(got.size(), want.size()) << "ef " << ef;
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].node, want[i].node) << "ef " << ef << " at " << i;
                        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score));
                    }
                }
            }
        }
    }
}

TEST(BuildLayerSearchTest, OneScratchServesLayersOfEverySize) {
    // A worker's scratch is made for one size and reused: its visited set
    // grows to a larger layer and forgets what a walk of another layer marked.
    HandLayer four({0.0f, 1.0f, 3.0f, 2.0f}, {{1, 2, 3}});
    HandLayer six({5.0f, 9.0f, 2.0f, 2.0f, 1.0f, 0.0f}, {{1}, {2}, {3, 4}, {5}, {}, {}});
    LayerSearchScratch shared(1);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(nodes_of(six.search(0, 1, Metric::L2, &shared)), (std::vector<std::uint32_t>{4}));
        EXPECT_EQ(nodes_of(four.search(0, 10, Metric::Dot, &shared)), (std::vector<std::uint32_t>{0, 2, 3, 1}));
        EXPECT_EQ(nodes_of(six.search(5, 10, Metric::L2, &shared)), (std::vector<std::uint32_t>{5}));
    }
}

TEST(BuildListsTest, UpperLayersHoldListsOnlyForTallNodes) {
    const std::vector<std::uint8_t> levels = {0, 2, 1};
    BuildLists lists(levels, 2);
    lists.set_chosen(2, 1, std::vector<std::uint32_t>{2});
    lists.add_link(1, 2, 1);
    lists.add_link(1, 2, 1);  // already there
    lists.add_link(2, 0, 1);  // node 0 has no list on layer 2: ignored
    const auto layers = lists.take();
    ASSERT_EQ(layers.size(), 3u);
    for (const auto& layer : layers) ASSERT_EQ(layer.size(), 3u);
    EXPECT_EQ(layers[2][1], (NeighbourList{2}));
    EXPECT_EQ(layers[1][2], (NeighbourList{1}));
    EXPECT_TRUE(layers[2][0].empty());
}

// Writers append to one list (one of them also sets the node's own choice)
// while readers take snapshots: every snapshot holds each item at most once,
// each writer's links in the order it made them, and keeps its contents after
// the writers are done; the final list is the choice, then every other link.
TEST(BuildListsTest, SnapshotsStayWholeWhileWritersGrowTheList) {
    constexpr std::uint32_t kWriters = 4;
    constexpr std::uint32_t kLinksEach = 500;
    const std::vector<std::uint8_t> levels(1, 0);
    BuildLists lists(levels, 0);
    const std::vector<std::uint32_t> chosen = {7, 2 * kLinksEach + 5, kWriters * kLinksEach + 50};
    std::vector<std::vector<std::span<const std::uint32_t>>> snapshots(2);
    std::vector<std::vector<NeighbourList>> seen(2);
    std::atomic<bool> done{false};
    std::atomic<std::size_t> reading{0};
    std::vector<std::thread> readers;
    for (std::size_t r = 0; r < snapshots.size(); ++r) {
        readers.emplace_back([&, r] {
            reading.fetch_add(1);
            while (!done.load()) {
                const std::span<const std::uint32_t> now = lists.read(0, 0);
                // One snapshot per length seen keeps the record small.
                if (!snapshots[r].empty() && snapshots[r].back().size() == now.size()) continue;
                snapshots[r].push_back(now);
                seen[r].emplace_back(now.begin(), now.end());
            }
        });
    }
    // The writers start once both readers are reading.
    while (reading.load() < readers.size()) std::this_thread::yield();
    std::vector<std::thread> threads;
    for (std::uint32_t w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (std::uint32_t i = 0; i < kLinksEach; ++i) {
                lists.add_link(0, 0, w * kLinksEach + i);
                if (w == 0 && i == kLinksEach / 2) lists.set_chosen(0, 0, chosen);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    done.store(true);
    for (std::thread& t : readers) t.join();

    const auto well_formed = [&](std::span<const std::uint32_t> list) {
        std::vector<bool> present(kWriters * kLinksEach + 100, false);
        std::vector<std::int64_t> last(kWriters, -1);
        const bool has_choice = !list.empty() && list[0] == chosen[0];
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::uint32_t x = list[i];
            if (present[x]) return false;
            present[x] = true;
            if (has_choice && i < chosen.size()) {
                if (x != chosen[i]) return false;
                continue;
            }
            const std::uint32_t w = x / kLinksEach;
            if (w >= kWriters || static_cast<std::int64_t>(x) <= last[w]) return false;
            last[w] = x;
        }
        return true;
    };
    for (std::size_t r = 0; r < snapshots.size(); ++r) {
        for (std::size_t i = 0; i < snapshots[r].size(); ++i) {
            ASSERT_TRUE(well_formed(seen[r][i])) << "reader " << r << " snapshot " << i;
            ASSERT_TRUE(std::equal(snapshots[r][i].begin(), snapshots[r][i].end(), seen[r][i].begin(),
                                   seen[r][i].end()))
                << "reader " << r << " snapshot " << i << " changed after it was read";
        }
    }
    const NeighbourList final_list = lists.take()[0][0];
    ASSERT_EQ(final_list.size(), kWriters * kLinksEach + 1);  // the choice's last is no writer's link
    EXPECT_TRUE(std::equal(chosen.begin(), chosen.end(), final_list.begin()));
    EXPECT_TRUE(well_formed(final_list));
}

}  // namespace
}  // namespace tessello
