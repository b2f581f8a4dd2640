#pragma once
// Keeping a collection's graph index up to date, and its steps in opening,
// search, delete and sync. Only a configuration with HNSW parameters has an
// index; for every other collection these steps do nothing.
//
// ensure_index runs when index_dirty is set: with a graph of at least one node
// and more live records than nodes, it inserts the records that have no node
// yet; otherwise it builds a new graph from every live record and puts it in
// place of the old one. index_dirty is cleared before the records are read
// (a write committed after the read sets it again) and set back on failure.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "collection/collection.h"
#include "search/filter/filter_condition.h"
#include "search/search_hit.h"

namespace tessello {

// The live records of the table as (slot, id), in key order.
Result<std::vector<LiveEntry>> collect_live_entries(Collection& core);

// The entries whose slot has no node in the graph yet, in their order.
std::vector<LiveEntry> retain_unindexed(std::vector<LiveEntry> entries, HnswIndex& index);

Status ensure_index(Collection& core);

// The index step of opening: loads "hnsw.index" when there is one and keeps
// it when its node count equals the live record count; otherwise no index,
// dirty when there are live records (or a file that did not serve).
Status open_index(Collection& core);

// The index step of sync: saves the graph in memory to "hnsw.index".
Status save_index_of(Collection& core);

// A deleted slot hidden from graph searches and unmapped from its node, and
// the graph marked for maintenance.
void mask_deleted_slot(Collection& core, std::uint64_t slot);

}  // namespace tessello
