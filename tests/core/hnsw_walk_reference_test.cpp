// The graph search against the walk written out plainly: one node at a
// time, every score through `distance`, the deleted set looked up for every
// node, the heaps kept with the standard heap algorithms. Random graphs with
// many equal scores, deleted records, NaN components, unallocated slots and
// reused slots must give the same candidates, scores (to the bit) and order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include "hnsw_test_support.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/hnsw/graph_search.h"

namespace tessello {
namespace {

using testing::VectorFile;

struct Plain {
    const HnswGraph& g;
    std::span<const float> query;
    const std::unordered_set<std::uint64_t>& deleted;
    const VectorStore& store;
    Metric metric;

    bool higher() const { return higher_is_better(metric); }

    float score(std::uint32_t node) const {
        const std::uint64_t slot = g.nodes[node].slot;
        if (slot >= store.slot_count())
            return higher() ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
        return distance(metric, query, store.slot_view(slot));
    }

    bool hidden(std::uint32_t node) const {
        const std::uint64_t slot = g.nodes[node].slot;
        if (!deleted.contains(slot)) return false;
        const auto owner = g.slot_to_node.find(slot);
        return owner == g.slot_to_node.end() || owner->second != node;
    }

    std::uint32_t greedy(std::uint32_t current, std::uint64_t layer) const {
        if (layer >= g.layers.size()) return current;
        float best = score(current);
        for (;;) {
            if (current >= g.layers[layer].size()) return current;
            const NeighbourList list = g.layers[layer][current];
            bool moved = false;
            for (const std::uint32_t n : list) {
                const float s = score(n);
                if (higher() ? s > best : s < best) {
                    current = n;
                    best = s;
                    moved = true;
                }
            }
            if (!moved) return current;
        }
    }

    std::vector<GraphCandidate> layer0(std::uint32_t entry, std::uint64_t ef) const {
        if (ef == 0) return {};
        const bool up = higher();
        // Candidates: a NaN first, then best first.
        const auto below = [up](const GraphCandidate& a, const GraphCandidate& b) {
            if (std::isnan(a.score)) return false;
            if (std::isnan(b.score)) return true;
            return up ? b.score > a.score : b.score < a.score;
        };
        // Result: the worst on top, a NaN above every number.
        const auto worst_on_top = [up](const GraphCandidate& a, const GraphCandidate& b) {
            return score_ranks_before(a.score, b.score, up);
        };
        std::vector<GraphCandidate> queue, kept;
        std::vector<bool> visited(g.nodes.size(), false);
        const auto accepts = [&](float s) {
            if (kept.size() < ef) return true;
            const float top = kept.front().score;
            return !(up ? s <= top : s >= top);
        };
        const auto admit = [&](std::uint32_t node, float s) {
            kept.push_back({node, s});
            std::push_heap(kept.begin(), kept.end(), worst_on_top);
            if (kept.size() > ef) {
                std::pop_heap(kept.begin(), kept.end(), worst_on_top);
                kept.pop_back();
            }
        };
        visited[entry] = true;
        const float first = score(entry);
        queue.push_back({entry, first});
        if (!hidden(entry)) admit(entry, first);
        while (!queue.empty()) {
            std::pop_heap(queue.begin(), queue.end(), below);
            const GraphCandidate c = queue.back();
            queue.pop_back();
            if (!accepts(c.score)) break;
            if (g.layers.empty() || c.node >= g.layers[0].size()) continue;
            for (const std::uint32_t n : g.layers[0][c.node]) {
                if (visited[n]) continue;
                visited[n] = true;
                const float s = score(n);
                if (!accepts(s)) continue;
                queue.push_back({n, s});
                std::push_heap(queue.begin(), queue.end(), below);
                if (!hidden(n)) admit(n, s);
            }
        }
        std::stable_sort(kept.begin(), kept.end(), [up](const GraphCandidate& a, const GraphCandidate& b) {
            return score_ranks_before(a.score, b.score, up);
        });
        return kept;
    }
};

// Scores compared by their bits, so that NaNs and signed zeros count.
void expect_same(const std::vector<GraphCandidate>& got, const std::vector<GraphCandidate>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].node, want[i].node) << "at " << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score))
            << "at " << i;
    }
}

// A random graph on a fresh vector file: components from a handful of values
// (so scores often tie), some slots deleted (their vectors start with a NaN)
// or holding a NaN later on, some nodes on slots past the file, some slots
// taken over by a later node, random links on every layer.
struct RandomGraph {
    RandomGraph(std::uint64_t dims, std::uint32_t n, std::uint32_t seed) : file(dims), graph(empty_graph(testing::small_config())) {
        std::mt19937 rng(seed);
        const auto pick = [&](std::uint32_t below) { return static_cast<std::uint32_t>(rng() % below); };
        std::vector<std::uint64_t> slots;
        for (std::uint32_t i = 0; i < n; ++i) {
            std::uint64_t slot = 0;
            const std::uint32_t kind = pick(20);
            if (kind == 0) {
                slot = 1000000 + i;  // past the end of the file
            } else if (kind == 1 && !slots.empty()) {
                slot = slots[pick(static_cast<std::uint32_t>(slots.size()))];  // taken over
            } else {
                std::vector<float> v(dims);
                for (auto& x : v) x = static_cast<float>(static_cast<int>(pick(5)) - 2) * 0.5f;
                if (kind == 2) v[pick(static_cast<std::uint32_t>(dims))] = std::numeric_limits<float>::quiet_NaN();
                slot = file.add(v);
                if (kind == 3) {
                    file.mark_deleted(slot);
                    deleted.insert(slot);
                }
                if (kind == 4) deleted.insert(slot);  // a slot deleted and then reused by this node
            }
            slots.push_back(slot);
            add_node(graph, slot, "n" + std::to_string(i), static_cast<std::uint8_t>(pick(8) == 0 ? 1 + pick(3) : 0));
        }
        for (std::size_t layer = 0; layer < graph.layers.size(); ++layer) {
            for (std::uint32_t node = 0; node < n; ++node) {
                if (graph.nodes[node].level < layer) continue;
                const std::uint32_t links = pick(layer == 0 ? 12 : 5);
                for (std::uint32_t l = 0; l < links; ++l) graph.layers[layer][node].push_back(pick(n));
            }
        }
        for (std::uint64_t d = 0; d < dims; ++d)
            query.push_back(static_cast<float>(static_cast<int>(pick(5)) - 2) * 0.5f);
    }

    VectorFile file;
    HnswGraph graph;
    std::unordered_set<std::uint64_t> deleted;
    std::vector<float> query;
};

TEST(GraphWalkReference, EveryNodeHasItsSlotInTheDenseCopy) {
    RandomGraph r(3, 60, 5);
    ASSERT_EQ(r.graph.node_slots.size(), r.graph.nodes.size());
    for (std::size_t i = 0; i < r.graph.nodes.size(); ++i) EXPECT_EQ(r.graph.node_slots[i], r.graph.nodes[i].slot);
}

TEST(GraphWalkReference, SearchMatchesThePlainWalkOnRandomGraphs) {
    // Lengths around the kernels' chunk sizes, as few as one component.
    for (const std::uint64_t dims : {1, 3, 8, 9, 17, 40}) {
        for (std::uint32_t seed = 0; seed < 12; ++seed) {
            RandomGraph r(dims, 1 + seed * 7, static_cast<std::uint32_t>(dims * 100 + seed));
            const HnswGraph& g = r.graph;
            for (const Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
                const Plain plain{g, r.query, r.deleted, r.file.get(), metric};
                const std::uint32_t n = static_cast<std::uint32_t>(g.nodes.size());
                for (const std::uint64_t ef : {1, 2, 5, 16, 200}) {
                    SCOPED_TRACE(::testing::Message() << "dims " << dims << " seed " << seed << " metric "
                                                    << int(metric) << " ef " << ef);
                    for (std::uint32_t entry = 0; entry < n; entry += 1 + n / 4) {
                        expect_same(search_layer0(g, r.query, entry, ef, r.deleted, r.file.get(), metric),
                                    plain.layer0(entry, ef));
                        for (std::uint64_t layer = 1; layer < 4; ++layer)
                            EXPECT_EQ(greedy_search_layer(g, r.query, entry, layer, r.file.get(), metric),
                                      plain.greedy(entry, layer));
                    }
                    // Nodes set by hand, without the dense copy of their slots.
                    HnswGraph by_hand = g;
                    by_hand.node_slots.clear();
                    expect_same(search_layer0(by_hand, r.query, 0, ef, r.deleted, r.file.get(), metric),
                                plain.layer0(0, ef));
                    // With no slot deleted the deleted set is never consulted.
                    const std::unordered_set<std::uint64_t> none;
                    const Plain bare{g, r.query, none, r.file.get(), metric};
                    expect_same(search_layer0(g, r.query, n - 1, ef, none, r.file.get(), metric), bare.layer0(n - 1, ef));
                }
            }
        }
    }
}

TEST(GraphWalkReference, CandidatesMatchThePlainDescentAndWalk) {
    for (const std::uint64_t dims : {4, 13}) {
        for (std::uint32_t seed = 0; seed < 8; ++seed) {
            RandomGraph r(dims, 20 + seed * 11, static_cast<std::uint32_t>(seed + 7000));
            for (const Metric metric : {Metric::Cosine, Metric::L2}) {
                HnswIndex index(r.graph, metric);
                index.deleted_slots = r.deleted;
                const HnswGraph& g = index.graph;
                const Plain plain{g, r.query, r.deleted, r.file.get(), metric};
                for (const std::uint64_t wanted : {1, 6, 40}) {
                    SCOPED_TRACE(::testing::Message() << "dims " << dims << " seed " << seed << " wanted " << wanted);
                    std::uint32_t current = *g.entry_point;
                    for (std::uint64_t layer = g.max_level; layer >= 1; --layer) current = plain.greedy(current, layer);
                    auto want = plain.layer0(current, std::max(g.config.ef_search, wanted));
                    if (want.size() > wanted) want.resize(wanted);
                    const auto got = graph_candidates(index, r.query, wanted, r.file.get());
                    ASSERT_EQ(got.size(), want.size());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        EXPECT_EQ(got[i].id, g.nodes[want[i].node].id);
                        EXPECT_EQ(got[i].slot, g.nodes[want[i].node].slot);
                        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score),
                                  std::bit_cast<std::uint32_t>(want[i].score));
                    }
                }
            }
        }
    }
}

TEST(GraphWalkReference, ThreadsSearchingTwoGraphsAtOnceGetThePlainAnswers) {
    // Each thread keeps one scratch for the descent and the walk; taking
    // turns on a small and a larger graph makes every search find it sized
    // and marked by the other.
    RandomGraph small(6, 25, 11);
    RandomGraph large(6, 300, 12);
    const auto plain_candidates = [](const RandomGraph& r, const HnswIndex& index, std::uint64_t wanted) {
        const HnswGraph& g = index.graph;
        const Plain plain{g, r.query, r.deleted, r.file.get(), index.metric};
        std::uint32_t current = *g.entry_point;
        for (std::uint64_t layer = g.max_level; layer >= 1; --layer) current = plain.greedy(current, layer);
        auto best = plain.layer0(current, std::max(g.config.ef_search, wanted));
        std::vector<std::string> ids;
        for (std::size_t i = 0; i < best.size() && i < wanted; ++i) ids.push_back(g.nodes[best[i].node].id);
        return ids;
    };
    const auto ids_of = [](const std::vector<GraphFind>& found) {
        std::vector<std::string> ids;
        for (const auto& f : found) ids.push_back(f.id);
        return ids;
    };
    HnswIndex small_index(small.graph, Metric::L2);
    small_index.deleted_slots = small.deleted;
    HnswIndex large_index(large.graph, Metric::L2);
    large_index.deleted_slots = large.deleted;
    const auto small_answer = plain_candidates(small, small_index, 7);
    const auto large_answer = plain_candidates(large, large_index, 30);
    ASSERT_FALSE(large_answer.empty());

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                if (ids_of(graph_candidates(small_index, small.query, 7, small.file.get())) != small_answer) ++wrong;
                if (ids_of(graph_candidates(large_index, large.query, 30, large.file.get())) != large_answer) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace tessello
