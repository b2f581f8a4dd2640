#include "base/fault_injection.h"

#include <cerrno>

namespace tessello {

int fault_errno(FaultPoint point) {
    switch (point) {
        case FaultPoint::Reserve:
        case FaultPoint::Write:
        case FaultPoint::Mkdir:
            return ENOSPC;
        default:
            return EIO;
    }
}

const char* fault_point_name(FaultPoint point) {
    switch (point) {
        case FaultPoint::Commit: return "Commit";
        case FaultPoint::Fsync: return "Fsync";
        case FaultPoint::FsyncDir: return "FsyncDir";
        case FaultPoint::Msync: return "Msync";
        case FaultPoint::Reserve: return "Reserve";
        case FaultPoint::Write: return "Write";
        case FaultPoint::Rename: return "Rename";
        case FaultPoint::Mkdir: return "Mkdir";
        case FaultPoint::Count: break;
    }
    return "?";
}

}  // namespace tessello

#ifdef TESSELLO_FAULT_INJECTION
#include <atomic>

namespace tessello {

namespace {

// One countdown per point and one (the last) for "any point": 0 is disarmed
// (the state before anything runs), n the n-th pass from now fails.
std::atomic<std::uint64_t> countdowns[kFaultPointCount + 1];
std::atomic<std::uint64_t> passes[kFaultPointCount];
// The point of the last pass that fired, or -1.
std::atomic<int> fired{-1};

// Counts one pass down; true when it is the armed one (which disarms).
bool count_down(std::atomic<std::uint64_t>& countdown) {
    std::uint64_t v = countdown.load();
    while (v > 0) {
        if (countdown.compare_exchange_weak(v, v - 1)) return v == 1;
    }
    return false;
}

}  // namespace

void arm_fault(FaultPoint point, std::uint32_t after) {
    countdowns[static_cast<int>(point)].store(std::uint64_t{after} + 1);
}

void arm_any_fault(std::uint32_t after) { countdowns[kFaultPointCount].store(std::uint64_t{after} + 1); }

void disarm_faults() {
    for (auto& c : countdowns) c.store(0);
    fired.store(-1);
}

void reset_fault_passes() {
    for (auto& p : passes) p.store(0);
}

std::uint64_t fault_passes(FaultPoint point) { return passes[static_cast<int>(point)].load(); }

std::uint64_t fault_passes_total() {
    std::uint64_t total = 0;
    for (const auto& p : passes) total += p.load();
    return total;
}

std::optional<FaultPoint> fired_fault() {
    const int f = fired.load();
    if (f < 0) return std::nullopt;
    return static_cast<FaultPoint>(f);
}

bool take_fault(FaultPoint point) {
    const int i = static_cast<int>(point);
    passes[i].fetch_add(1);
    // Both countdowns see every pass, so an arming of the point and one of
    // "any point" count the same passes.
    const bool by_point = count_down(countdowns[i]);
    const bool by_any = count_down(countdowns[kFaultPointCount]);
    if (!by_point && !by_any) return false;
    fired.store(i);
    return true;
}

}  // namespace tessello
#endif
