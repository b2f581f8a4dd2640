#pragma once
// export_collection: writes a collection's live stored records (after a
// flush of the buffer) to a newline-delimited JSON file: a header line
// {"version":1,"collection","dimensions","metric","record_count","exported_at"}
// then one line per record {"id","vector","metadata","created_at"[,"ttl"]},
// in identifier order, each compact and ended by a line feed. Returns the
// number of record lines. The file is not synced.
#include <cstdint>
#include <string_view>

#include "collection/collection.h"

namespace tessello {

Result<std::uint64_t> export_collection(Collection& core, std::string_view path);

}  // namespace tessello
