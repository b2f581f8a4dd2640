#include "collection/slot_lease.h"

#include "collection/insert.h"

namespace tessello {

SlotLease::~SlotLease() {
    for (std::uint64_t slot : slots_) core_.give_back_slot(slot);
}

Result<std::uint64_t> SlotLease::take() {
    auto slot = allocate_slot(core_);
    if (slot) slots_.push_back(*slot);
    return slot;
}

}  // namespace tessello
