#include "search/hnsw/build_report.h"

#include <cinttypes>
#include <cstdio>

namespace tessello {

std::string format_build_report(const BuildProfile& p) {
    const double total = p.total_seconds;
    const char* format =
        "HNSW Build Profile (%" PRIu64 " nodes):\n"
        "  Phase 1 (setup):   %8.2fs (%5.1f%%)\n"
        "  Phase 2 (insert):  %8.2fs (%5.1f%%)\n"
        "  Phase 3 (repair):  %8.2fs (%5.1f%%)\n"
        "  Total:             %8.2fs (%.0f vec/s)\n"
        "  Distance calcs:    %" PRIu64 "\n"
        "  Nodes improved:    %" PRIu64 "\n";
    const auto args = [&](char* buffer, std::size_t size) {
        return std::snprintf(buffer, size, format, p.nodes, p.setup_seconds, p.setup_seconds / total * 100.0,
                             p.insert_seconds, p.insert_seconds / total * 100.0, p.repair_seconds,
                             p.repair_seconds / total * 100.0, total, static_cast<double>(p.nodes) / total,
                             p.distance_calcs, p.nodes_improved);
    };
    const int length = args(nullptr, 0);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    args(out.data(), out.size() + 1);
    return out;
}

void print_build_report(const BuildProfile& profile) {
    const std::string report = format_build_report(profile);
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

}  // namespace tessello
