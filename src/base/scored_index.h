#pragma once
// ScoredIndex: one scored item of a scan, its score and its position in the
// list that was scanned. The collector and the scans pass these around; the
// index is never interpreted here.
#include <cstdint>

namespace tessello {

struct ScoredIndex {
    float score;
    std::uint64_t index;

    friend bool operator==(const ScoredIndex&, const ScoredIndex&) = default;
};

}  // namespace tessello
