#pragma once
// Helpers for tests that fail every I/O step of an operation in turn: count
// the passes a clean run makes through the fault points, then run it again
// once per pass with that pass failing.
//
//   const auto passes = count_fault_passes([&] { ...the operation... });
//   for (std::uint64_t n = 0; n < passes.total; ++n) {
//       FailingPass fault(n);
//       ...run the operation, expect the error of fault.point()...
//   }
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "base/fault_injection.h"
#include "base/store_error.h"

#ifdef TESSELLO_FAULT_INJECTION
namespace tessello::testing {

struct FaultPassCount {
    std::uint64_t total = 0;
    std::array<std::uint64_t, kFaultPointCount> by_point{};

    std::uint64_t of(FaultPoint point) const { return by_point[static_cast<int>(point)]; }
    // "Write 1, Reserve 1, ..." for failure messages.
    std::string describe() const {
        std::string out;
        for (int i = 0; i < kFaultPointCount; ++i) {
            if (by_point[i] == 0) continue;
            if (!out.empty()) out += ", ";
            out += fault_point_name(static_cast<FaultPoint>(i)) + std::string(" ") + std::to_string(by_point[i]);
        }
        return out;
    }
};

// The passes op makes through the fault points, nothing armed.
template <class Op>
FaultPassCount count_fault_passes(Op&& op) {
    disarm_faults();
    reset_fault_passes();
    op();
    FaultPassCount count;
    count.total = fault_passes_total();
    for (int i = 0; i < kFaultPointCount; ++i) count.by_point[i] = fault_passes(static_cast<FaultPoint>(i));
    return count;
}

// While it lives, the n-th pass (0-based) through any point from now fails.
class FailingPass {
public:
    explicit FailingPass(std::uint64_t n) {
        disarm_faults();
        arm_any_fault(static_cast<std::uint32_t>(n));
    }
    ~FailingPass() { disarm_faults(); }
    FailingPass(const FailingPass&) = delete;
    FailingPass& operator=(const FailingPass&) = delete;

    bool fired() const { return fired_fault().has_value(); }
    FaultPoint point() const { return fired_fault().value_or(FaultPoint::Count); }
    std::string name() const { return fired() ? fault_point_name(point()) : "nothing"; }
};

// The message of the Io error that the failure of a call at point gives.
inline std::string injected_message(FaultPoint point) {
    return StoreError::io_errno(fault_errno(point)).message();
}

}  // namespace tessello::testing
#endif
