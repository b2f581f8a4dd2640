#pragma once
// search_collection: the k records nearest to a query, best first, under the
// collection's metric, optionally restricted by a filter (absent: no where_;
// present and empty: every record passes but metadata is still parsed).
//
// Stored records are those of one read transaction; Active, unexpired
// records that pass the filter are scored in place in the vector file, from
// the core's record mirror when it reflects that transaction
// (collection/mirror_search.h), else by a walk of the table in key order
// (search/stored_scan.h); both give the same hits. Buffered records are scored from a copy of the buffer, taken as that
// transaction begins (so a record a flush is writing is seen once), and merged.
// Among equal scores, stored hits come before buffered ones, stored hits in
// identifier byte order, buffered hits in queue order. Changes nothing.
#include <cstdint>
#include <span>
#include <vector>

#include "collection/collection.h"
#include "search/filter/filter_condition.h"
#include "search/search_hit.h"

namespace tessello {

Result<std::vector<SearchHit>> search_collection(Collection& core, std::span<const float> query, std::uint64_t k,
                                                 const std::vector<FilterCondition>* filter);

}  // namespace tessello
