#pragma once
// fetch_record: one live record by identifier, as a hit with score 0.0. The
// write-behind buffer is looked at first (the first Active, unexpired entry
// of that identifier in queue order), then the records table as it was when
// the buffer was looked at (so a record a flush is writing is found in one of
// the two); a stored record whose slot carries the deleted mark is no record.
// Changes nothing.
#include <optional>
#include <string_view>

#include "collection/collection.h"
#include "search/search_hit.h"

namespace tessello {

Result<std::optional<SearchHit>> fetch_record(Collection& core, std::string_view id);

}  // namespace tessello
