#include "base/clock.h"

#include <ctime>

namespace tessello {

namespace {

class SystemClock final : public Clock {
public:
    std::uint64_t wall_ms() const override {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        if (ts.tv_sec < 0) return 0;
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
    }
    std::uint64_t monotonic_ns() const override {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(ts.tv_nsec);
    }
};

const SystemClock system_clock;
std::atomic<const Clock*> installed{&system_clock};

}  // namespace

const Clock& clock() { return *installed.load(std::memory_order_acquire); }

std::uint64_t now_unix_secs() { return clock().wall_ms() / 1000; }
std::uint64_t wall_clock_ms() { return clock().wall_ms(); }
std::uint64_t monotonic_ns() { return clock().monotonic_ns(); }
std::uint64_t monotonic_ms() { return clock().monotonic_ns() / 1'000'000; }

std::uint64_t elapsed_ms(std::uint64_t start_ms) {
    const std::uint64_t now = monotonic_ms();
    return now > start_ms ? now - start_ms : 0;
}

double seconds_since(std::uint64_t start_ns) {
    const std::uint64_t now = monotonic_ns();
    const std::uint64_t ns = now > start_ns ? now - start_ns : 0;
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

ManualClock::ManualClock() : wall_ms_(system_clock.wall_ms()), monotonic_ns_(system_clock.monotonic_ns()) {}

void ManualClock::advance_ms(std::uint64_t ms) {
    wall_ms_.fetch_add(ms);
    monotonic_ns_.fetch_add(ms * 1'000'000);
}

ScopedClock::ScopedClock(const Clock& clock) : previous_(installed.exchange(&clock, std::memory_order_acq_rel)) {}
ScopedClock::~ScopedClock() { installed.store(previous_, std::memory_order_release); }

}  // namespace tessello
