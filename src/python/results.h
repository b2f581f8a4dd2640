#pragma once
// The result and statistics classes: immutable values made by the methods
// that return them, with read-only attributes and a one-line representation.
#include <Python.h>

#include <cstdint>
#include <string>

#include "python/conversions.h"

namespace tessello::py {

struct CompactStatsValue {
    std::uint64_t expired_removed = 0;
    std::uint64_t tombstones_removed = 0;
    std::uint64_t bytes_freed = 0;
    std::uint64_t duration_ms = 0;
};

struct RecoveryStatsValue {
    std::uint64_t promoted = 0;
    std::uint64_t rolled_back = 0;
    std::uint64_t tombstones = 0;
};

struct ImportStatsValue {
    std::uint64_t imported = 0;
    std::uint64_t skipped = 0;
    std::uint64_t failed = 0;
    std::uint64_t duration_ms = 0;
};

// New objects of the classes, or null with an exception set.
PyObject* new_search_result(SearchResultValue value);
PyObject* new_compact_stats(CompactStatsValue value);
PyObject* new_recovery_stats(RecoveryStatsValue value);
PyObject* new_import_stats(ImportStatsValue value);

// A score as its exact value rounded to four decimals, ties to even;
// "NaN", "inf", "-inf" for the non-finite ones.
std::string format_score(float score);

}  // namespace tessello::py
