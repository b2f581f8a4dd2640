#include "search/hnsw/build_layer_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "search/distance.h"
#include "search/exact.h"

namespace tessello {

namespace {

// W of a build's layer search, in admission order; a node enters when it is
// taken out to be expanded. A score is accepted while W has room, or when it
// ranks strictly before the admission bound. The bound starts at the worst
// value (-inf for a higher-is-better metric, +inf otherwise) and is only
// recomputed when an entry displaces another, so the first candidate taken
// out after W has filled up is always admitted and expanded.
template <bool Higher>
class BuildResult {
public:
    static constexpr bool kAdmitOnFound = false;
    static constexpr float kStartBound =
        Higher ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();

    // W goes into w, emptied here.
    BuildResult(std::uint64_t ef, std::uint64_t room, std::vector<BuildCandidate>& w) : ef_(ef), w_(w) {
        w_.clear();
        w_.reserve(room + 1);
    }

    bool accepts(float score) const { return w_.size() < ef_ || score_ranks_before(score, bound_, Higher); }
    void admit(std::uint32_t node, float score) {
        const bool was_full = w_.size() == ef_;
        w_.push_back(BuildCandidate{node, score});
        if (was_full) {
            // The newcomer stands where the displaced entry stood, and may
            // be the one displaced.
            const std::size_t out = worst_index();
            w_[out] = w_.back();
            w_.pop_back();
            bound_ = lowest_ranked_number();
        }
    }

private:
    // The entry to remove: with a higher-is-better metric the lowest score,
    // the first of equals; otherwise the highest, the last of equals. NaN
    // counts as the worst of all.
    std::size_t worst_index() const {
        std::size_t worst = 0;
        for (std::size_t i = 1; i < w_.size(); ++i) {
            const bool replace = Higher ? score_ranks_before(w_[worst].score, w_[i].score, true)
                                        : !score_ranks_before(w_[i].score, w_[worst].score, false);
            if (replace) worst = i;
        }
        return worst;
    }

    // The lowest (higher-is-better) or highest score in W, NaN ignored; the
    // starting bound when W holds no number.
    float lowest_ranked_number() const {
        float worst = kStartBound;
        bool any = false;
        for (const BuildCandidate& c : w_) {
            if (std::isnan(c.score)) continue;
            if (!any || (Higher ? c.score < worst : c.score > worst)) worst = c.score;
            any = true;
        }
        return worst;
    }

    std::uint64_t ef_;
    std::vector<BuildCandidate>& w_;
    float bound_ = kStartBound;
};

// The search for one direction of the metric, fixed at compile time so the
// many comparisons of the heap carry no branch on it.
template <bool Higher>
void search_in_direction(const BuildLists& lists, std::uint32_t layer, std::uint32_t start, std::uint64_t ef,
                         const AdcScorer& score, std::atomic<std::uint64_t>& distance_calcs,
                         LayerSearchScratch& scratch, std::vector<BuildCandidate>& out) {
    // Sized from ef, but never beyond what the graph can hold.
    const std::uint64_t room = std::min<std::uint64_t>(ef, lists.node_count());
    HeapQueue<BestFirstNaNLast<Higher>> queue(scratch.heap);
    queue.reserve(static_cast<std::size_t>(2 * room));
    BuildResult<Higher> w(ef, room, out);
    // Counted locally and added once: a shared counter bumped per score
    // would bounce its cache line between all workers.
    const std::uint64_t scored =
        walk_layer(start, BuildLayerLinks(lists, layer), score, AnyNode{}, queue, w, scratch);
    distance_calcs.fetch_add(scored);
}

}  // namespace

std::vector<BuildCandidate> layer_search(const BuildLists& lists, std::uint32_t layer, std::uint32_t start,
                                         std::uint64_t ef, Metric metric, const AdcScorer& score,
                                         std::atomic<std::uint64_t>& distance_calcs, LayerSearchScratch& scratch) {
    std::vector<BuildCandidate> w;
    layer_search(lists, layer, start, ef, metric, score, distance_calcs, scratch, w);
    return w;
}

void layer_search(const BuildLists& lists, std::uint32_t layer, std::uint32_t start, std::uint64_t ef, Metric metric,
                  const AdcScorer& score, std::atomic<std::uint64_t>& distance_calcs, LayerSearchScratch& scratch,
                  std::vector<BuildCandidate>& w) {
    if (higher_is_better(metric)) {
        search_in_direction<true>(lists, layer, start, ef, score, distance_calcs, scratch, w);
    } else {
        search_in_direction<false>(lists, layer, start, ef, score, distance_calcs, scratch, w);
    }
}

}  // namespace tessello
