#pragma once
// Fault-injection points of the system's I/O, for tests that show how an
// operation behaves when the disk or the key-value store fails.
//
// Every call the system makes that the outside world can fail (commit, fsync,
// msync, space reservation, write, rename, directory creation) first passes
// through its point. Every pass is counted, so a test can learn how many
// passes an operation makes and then fail each one in turn: the n-th pass
// through one point, or the n-th pass through any point. The calls in
// base/sys_io.h fail an armed pass with the error number a real failure gives
// (fault_errno), before touching the file.
//
// Compiled in only with TESSELLO_FAULT_INJECTION; otherwise every check is a
// constant false and nothing is counted. The state is process-wide and every
// function may be called from any thread; tests that arm points run one at a
// time.
#include <cstdint>
#include <optional>

namespace tessello {

enum class FaultPoint : std::uint8_t {
    Commit,    // a write-transaction commit of the key-value store
    Fsync,     // fsync of a file
    FsyncDir,  // fsync of a directory, making an entry made or renamed in it durable
    Msync,     // synchronous flush of a file's mapping
    Reserve,   // reserving a file's space (posix_fallocate)
    Write,     // write / pwrite of a file's contents
    Rename,    // renaming a file into place
    Mkdir,     // creating a directory
    Count,
};

inline constexpr int kFaultPointCount = static_cast<int>(FaultPoint::Count);

// The error number with which a real call at the point fails: ENOSPC where the
// call may need new blocks (reserve, write, mkdir), EIO for the others.
int fault_errno(FaultPoint point);
// "Commit", "Fsync", ...: for test messages.
const char* fault_point_name(FaultPoint point);

#ifdef TESSELLO_FAULT_INJECTION
// Makes the `after`+1-th pass through the point from now fail (0: the next
// one). The arming is used up when it fires.
void arm_fault(FaultPoint point, std::uint32_t after = 0);
// Makes the `after`+1-th pass through any point from now fail.
void arm_any_fault(std::uint32_t after = 0);
// Disarms every point and forgets which one fired.
void disarm_faults();

// Passes counted since the last reset_fault_passes (or the process start).
void reset_fault_passes();
std::uint64_t fault_passes(FaultPoint point);
std::uint64_t fault_passes_total();
// The point of the last armed pass that fired since disarm_faults.
std::optional<FaultPoint> fired_fault();

// Counts the pass; true when an arming's turn has come (and uses it up).
bool take_fault(FaultPoint point);
#else
inline bool take_fault(FaultPoint) { return false; }
#endif

}  // namespace tessello
