#pragma once
// PendingWrite: one entry of a collection's write-behind buffer, the record as
// it will be stored (state Active) and the vector as prepared for the metric,
// the same values already copied into the record's slot.
#include <cstdint>
#include <vector>

#include "storage/record.h"

namespace tessello {

struct PendingWrite {
    Record record;
    std::vector<float> vector;
    // Tells apart the entries of different adds, whatever slots they hold.
    std::uint64_t ticket = 0;
};

}  // namespace tessello
