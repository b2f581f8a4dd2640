#include "base/fault_injection.h"

#ifdef TESSELLO_FAULT_INJECTION
#include <atomic>

namespace tessello {

namespace {
// -1: disarmed; otherwise the number of passes still to let through.
std::atomic<std::int64_t> countdown[static_cast<int>(FaultPoint::Count)] = {-1, -1};
}  // namespace

void arm_fault(FaultPoint point, std::uint32_t after) {
    countdown[static_cast<int>(point)].store(after);
}

void disarm_faults() {
    for (auto& c : countdown) c.store(-1);
}

bool take_fault(FaultPoint point) {
    auto& c = countdown[static_cast<int>(point)];
    std::int64_t v = c.load();
    while (v >= 0) {
        if (c.compare_exchange_weak(v, v - 1)) return v == 0;
    }
    return false;
}

}  // namespace tessello
#endif
