#pragma once
// PendingWrite: one entry of a collection's write-behind buffer, the record as
// it will be stored (state Active) and the vector as prepared for the metric.
// The vector reaches the record's slot with the flush that stores the record;
// until then this copy is the only one.
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
