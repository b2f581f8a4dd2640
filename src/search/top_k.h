#pragma once
// TopK: the bounded best-k collector. After every push it holds at most k
// pairs, best first (descending score when higher_is_better, ascending
// otherwise); among equal scores the pair pushed earlier comes first, and a
// pair merely equal to the worst kept one is dropped when the collector is
// full. For NaN-free input the entries are thus exactly the first min(k, n)
// pairs of the stable best-first sort of all n pushed pairs. A NaN score
// ranks below every number: it is kept only while there is room, behind all
// numbers, NaNs among themselves in push order.
#include <cstdint>
#include <vector>

#include "base/scored_index.h"

namespace tessello {

class TopK {
public:
    // An empty collector of at most k pairs. It reserves room for
    // min(k + 1, room_hint) pairs up front; pass the number of items that may
    // be pushed, plus one, so that a huge k reserves nothing beyond the input.
    TopK(std::uint64_t k, bool higher_is_better, std::uint64_t room_hint);

    const std::vector<ScoredIndex>& entries() const { return entries_; }
    std::vector<ScoredIndex> take_entries() && { return std::move(entries_); }
    std::uint64_t k() const { return k_; }
    bool higher_is_better() const { return higher_is_better_; }

    friend void topk_push(TopK& top, std::uint64_t index, float score);

private:
    std::vector<ScoredIndex> entries_;
    std::uint64_t k_;
    bool higher_is_better_;
};

// Offers (score, index) to the collector; see TopK for the ordering rules.
void topk_push(TopK& top, std::uint64_t index, float score);

}  // namespace tessello
