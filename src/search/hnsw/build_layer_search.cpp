#include "search/hnsw/build_layer_search.h"

#include <algorithm>
#include <limits>

#include "search/distance.h"

namespace tessello {

namespace {

// W's worst entry for removal: with a higher-is-better metric the lowest
// score, the first of equals; otherwise the highest, the last of equals.
// NaN counts as the worst of all.
std::size_t worst_index(const std::vector<BuildCandidate>& w, bool higher_better) {
    std::size_t worst = 0;
    for (std::size_t i = 1; i < w.size(); ++i) {
        const bool replace = higher_better ? ranks_before(w[worst].score, w[i].score, true)
                                           : !ranks_before(w[i].score, w[worst].score, false);
        if (replace) worst = i;
    }
    return worst;
}

// The admission bound: the lowest (higher-is-better) or highest score in W,
// NaN ignored; the starting bound when W holds no number.
float worst_score(const std::vector<BuildCandidate>& w, bool higher_better, float start) {
    float worst = start;
    bool any = false;
    for (const BuildCandidate& c : w) {
        if (std::isnan(c.score)) continue;
        if (!any || (higher_better ? c.score < worst : c.score > worst)) worst = c.score;
        any = true;
    }
    return worst;
}

// The search for one direction of the metric, fixed at compile time so the
// many comparisons of the heap carry no branch on it.
template <bool higher>
std::vector<BuildCandidate> search_in_direction(const BuildLists& lists, std::uint32_t layer, std::uint32_t start,
                                                std::uint64_t ef, const AdcScorer& score,
                                                std::atomic<std::uint64_t>& distance_calcs,
                                                LayerSearchScratch& scratch) {
    const float start_worst = higher ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    // Sized from ef, but never beyond what the graph can hold.
    const std::uint64_t room = std::min<std::uint64_t>(ef, lists.node_count());
    const auto heap_order = [](const BuildCandidate& a, const BuildCandidate& b) {
        return ranks_before(b.score, a.score, higher);
    };

    scratch.visited.start(lists.node_count());
    scratch.visited.insert(start);
    auto& candidates = scratch.candidates;
    candidates.clear();
    candidates.reserve(2 * room);
    std::vector<BuildCandidate> w;
    w.reserve(room + 1);
    float worst = start_worst;

    // Counted locally and added once: a shared counter bumped per score
    // would bounce its cache line between all workers.
    std::uint64_t scored = 1;
    candidates.push_back({start, score(start)});

    while (!candidates.empty()) {
        std::pop_heap(candidates.begin(), candidates.end(), heap_order);
        const BuildCandidate c = candidates.back();
        candidates.pop_back();

        if (!(w.size() < ef || ranks_before(c.score, worst, higher))) break;
        const bool was_full = w.size() == ef;
        w.push_back(c);
        if (was_full) {
            const std::size_t out = worst_index(w, higher);
            w[out] = w.back();
            w.pop_back();
            worst = worst_score(w, higher, start_worst);
        }

        lists.copy(layer, c.node, scratch.neighbours);
        scratch.fresh.clear();
        for (const std::uint32_t x : scratch.neighbours) {
            if (scratch.visited.insert(x)) {
                score.prefetch(x);
                scratch.fresh.push_back(x);
            }
        }
        // A node that fails the test below stays visited and is not
        // considered again in this search.
        scored += scratch.fresh.size();
        score.many(scratch.fresh, scratch.scores);
        for (std::size_t i = 0; i < scratch.fresh.size(); ++i) {
            const float sx = scratch.scores[i];
            if (w.size() < ef || ranks_before(sx, worst, higher)) {
                candidates.push_back({scratch.fresh[i], sx});
                std::push_heap(candidates.begin(), candidates.end(), heap_order);
            }
        }
    }
    distance_calcs.fetch_add(scored);
    return w;
}

}  // namespace

std::vector<BuildCandidate> layer_search(const BuildLists& lists, std::uint32_t layer, std::uint32_t start,
                                         std::uint64_t ef, Metric metric, const AdcScorer& score,
                                         std::atomic<std::uint64_t>& distance_calcs, LayerSearchScratch& scratch) {
    return higher_is_better(metric) ? search_in_direction<true>(lists, layer, start, ef, score, distance_calcs, scratch)
                                    : search_in_direction<false>(lists, layer, start, ef, score, distance_calcs, scratch);
}

}  // namespace tessello
