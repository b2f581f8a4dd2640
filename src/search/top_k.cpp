#include "search/top_k.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace tessello {
namespace {

// Strictly better in the collector's order, with NaN below every number and
// no NaN better than another. Plain float comparison otherwise, so -0 and +0
// are equal.
bool better(float x, float y, bool higher_is_better) {
    if (std::isnan(x)) return false;
    if (std::isnan(y)) return true;
    return higher_is_better ? x > y : x < y;
}

}  // namespace

TopK::TopK(std::uint64_t k, bool higher_is_better, std::uint64_t room_hint)
    : k_(k), higher_is_better_(higher_is_better) {
    const std::uint64_t wanted =
        k == std::numeric_limits<std::uint64_t>::max() ? k : k + 1;
    entries_.reserve(static_cast<std::size_t>(std::min(wanted, room_hint)));
}

void topk_push(TopK& top, std::uint64_t index, float score) {
    if (top.k_ == 0) return;
    std::vector<ScoredIndex>& entries = top.entries_;
    const bool full = entries.size() >= top.k_;
    if (full && !better(score, entries.back().score, top.higher_is_better_)) return;
    // The kept list is already in order, so the new pair belongs right before
    // the first entry it beats: walk back over that (worse) suffix. Stopping at
    // an equal score keeps earlier pushes ahead, as a stable sort would.
    std::size_t pos = entries.size();
    while (pos > 0 && better(score, entries[pos - 1].score, top.higher_is_better_)) --pos;
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(pos), ScoredIndex{score, index});
    if (full) entries.pop_back();
}

}  // namespace tessello
