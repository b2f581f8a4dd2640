#pragma once
// sync_collection makes a collection durable: flushes the buffer (waiting for
// a flush in progress, so every record buffered before the call is stored
// when it returns), then syncs the vector file (again). collection_len counts
// live stored records plus every buffered entry, whatever its state or
// expiry, the entries a flush is writing among them until its commit.
#include <cstdint>

#include "collection/collection.h"

namespace tessello {

Status sync_collection(Collection& core);
Result<std::uint64_t> collection_len(Collection& core);

}  // namespace tessello
