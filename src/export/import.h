#pragma once
// import_collection: reads an export file and upserts every record line into
// the collection. The header must give the collection's dimension (its name
// and metric are not compared) and a version of at most 1. Blank lines are
// skipped; a record whose vector has another length, or whose upsert fails,
// counts as failed and the import goes on; a line that does not parse ends it.
// The buffer is flushed at the end.
#include <cstdint>
#include <string_view>

#include "collection/collection.h"

namespace tessello {

struct ImportStats {
    std::uint64_t imported = 0;
    std::uint64_t skipped = 0;
    std::uint64_t failed = 0;
    std::uint64_t duration_ms = 0;
};

Result<ImportStats> import_collection(Collection& core, std::string_view path);

// A line without the Unicode white space at its ends.
std::string_view trim_unicode_space(std::string_view line);

}  // namespace tessello
