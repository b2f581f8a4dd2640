#pragma once
// sync_collection makes a collection durable: flushes the buffer, then syncs
// the vector file (again). collection_len counts live stored records plus
// every buffered entry, whatever its state or expiry.
#include <cstdint>

#include "collection/collection.h"

namespace tessello {

Status sync_collection(Collection& core);
Result<std::uint64_t> collection_len(Collection& core);

}  // namespace tessello
