#pragma once
// compact_collection: removes every stored record that has expired or is a
// Tombstone, marks the slots of removed records deleted and gives them back
// to the free list, one write transaction per record. The write-behind
// buffer, the vector file's length and the graph index are left alone.
//
// A slot goes back only when nothing else may hold it: a Tombstone's slot
// was given back when it became one (another record may hold it by now), a
// slot beyond the file is never listed, and a slot freed here is handed out
// only once the transaction that removes its record has committed.
#include <cstdint>

#include "collection/collection.h"

namespace tessello {

struct CompactStats {
    std::uint64_t expired_removed = 0;
    std::uint64_t tombstones_removed = 0;
    std::uint64_t bytes_freed = 0;
    std::uint64_t duration_ms = 0;
};

Result<CompactStats> compact_collection(Collection& core);

}  // namespace tessello
