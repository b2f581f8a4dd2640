#pragma once
// Clock: where the system reads the time. Wall time (milliseconds since
// 1970, 0 before it) stamps records, expiry, the write-behind buffer and the
// export header; monotonic time (nanoseconds from an arbitrary start) measures
// durations. The process reads the system's clocks unless a test installs a
// clock of its own (ScopedClock), so tests move time instead of sleeping.
//
// Thread safety: any thread may read the time at any moment. Installing a
// clock is for tests, done while no other thread of the test reads it.
#include <atomic>
#include <cstdint>

namespace tessello {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t wall_ms() const = 0;
    virtual std::uint64_t monotonic_ns() const = 0;
};

// The clock in use: the system's, or the one a test installed.
const Clock& clock();

// Whole Unix seconds of the wall clock (0 before 1970).
std::uint64_t now_unix_secs();
// Milliseconds of the wall clock since 1970 (0 before 1970).
std::uint64_t wall_clock_ms();
// The monotonic clock in nanoseconds and in whole milliseconds.
std::uint64_t monotonic_ns();
std::uint64_t monotonic_ms();
// Whole milliseconds of the monotonic clock since `start_ms`; 0 when the
// clock reads earlier.
std::uint64_t elapsed_ms(std::uint64_t start_ms);
// Seconds of the monotonic clock since `start_ns`: whole seconds plus the
// remaining nanoseconds / 10^9.
double seconds_since(std::uint64_t start_ns);

// A clock a test sets by hand; it starts at the system's current readings.
class ManualClock final : public Clock {
public:
    ManualClock();
    std::uint64_t wall_ms() const override { return wall_ms_.load(); }
    std::uint64_t monotonic_ns() const override { return monotonic_ns_.load(); }
    // Moves both clocks forward by ms.
    void advance_ms(std::uint64_t ms);
    void set_wall_ms(std::uint64_t ms) { wall_ms_.store(ms); }

private:
    std::atomic<std::uint64_t> wall_ms_;
    std::atomic<std::uint64_t> monotonic_ns_;
};

// Installs `clock` for the guard's life, then restores the one before.
class ScopedClock {
public:
    explicit ScopedClock(const Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    const Clock* previous_;
};

}  // namespace tessello
