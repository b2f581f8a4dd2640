#pragma once
// Fault-injection points of the storage layer, for tests that show how an
// operation behaves when the disk or the key-value store fails. Compiled in
// only with TESSELLO_FAULT_INJECTION; otherwise every check is a constant false.
#include <cstdint>

namespace tessello {

enum class FaultPoint : std::uint8_t {
    Commit,  // the next write-transaction commit fails
    Fsync,   // the next fsync of a vector file fails
    Count,
};

#ifdef TESSELLO_FAULT_INJECTION
// Makes the next `after`+1-th pass through the point fail (0: the next one).
void arm_fault(FaultPoint point, std::uint32_t after = 0);
void disarm_faults();
// True when the point is armed and its turn has come; consumes the arming.
bool take_fault(FaultPoint point);
#else
inline bool take_fault(FaultPoint) { return false; }
#endif

}  // namespace tessello
