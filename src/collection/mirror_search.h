#pragma once
// The exact path of a search served from the core's record mirror
// (collection/record_mirror.h) instead of a walk of table "records".
//
// The result is exactly that of search_stored over the same read
// transaction: the same hits, scores and order (collection/mirror_scan.h).
// A mirror that holds the error of a value that does not decode fails the
// search with it.
//
// Searches of one core that arrive while a pass over its mirror runs wait
// for it to end and are then scored together in the next pass, run by one
// of them (base/shared_pass.h): concurrent searches read the vectors once.
//
// Takes mirror_lock (shared, or exclusively to walk the table again) and
// then vector_store_lock shared, on this thread or on the thread of the
// search that runs the pass; the caller holds index_lock shared and the
// read transaction `txn`, and none of the locks taken here.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "collection/collection.h"
#include "search/filter/filter_condition.h"
#include "search/search_hit.h"

namespace tessello {

// The stored hits for k > 0, at most k of them; nothing when the mirror
// cannot serve this transaction (it reflects a later commit, or a walk of
// the table failed): the caller then walks the table itself.
std::optional<Result<std::vector<SearchHit>>> mirrored_search(Collection& core, const ReadTxn& txn,
                                                              std::span<const float> query, std::uint64_t k,
                                                              const std::vector<FilterCondition>* filter);

// The number of live stored records of txn (Active, unexpired now), or the
// error of the value that does not decode, when the mirror reflects txn;
// nothing otherwise (the caller counts by a walk). Takes mirror_lock shared;
// the caller holds the transaction and none of the core's locks.
std::optional<Result<std::uint64_t>> mirrored_live_count(Collection& core, const ReadTxn& txn);

}  // namespace tessello
