#pragma once
// The timing report of a full graph build: seven lines written to standard
// error in one piece, for builds of 1000 nodes or more. The formatting is a
// pure function so it can be checked without a build; times are seconds of
// the monotonic clock in binary64.
#include <cstdint>
#include <string>

namespace tessello {

inline constexpr std::uint64_t kBuildReportMinNodes = 1000;

struct BuildProfile {
    std::uint64_t nodes = 0;
    double setup_seconds = 0.0;
    double insert_seconds = 0.0;
    double repair_seconds = 0.0;
    double total_seconds = 0.0;
    std::uint64_t distance_calcs = 0;
    std::uint64_t nodes_improved = 0;
};

// The seven lines, each ended by a newline: phase times with 2 decimals in 8
// characters, their share of the total with 1 decimal in 5, the rate with
// no decimals.
std::string format_build_report(const BuildProfile& profile);

// Writes the report to standard error with a single write call.
void print_build_report(const BuildProfile& profile);

}  // namespace tessello
