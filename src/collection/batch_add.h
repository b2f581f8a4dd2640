#pragma once
// add_batch_records: many records at once, bypassing the write-behind buffer.
// Every row is checked before anything changes; then the vectors are written
// into their slots and synced while the records are made, and all records
// are stored Active in one transaction that commits after the sync. A batch
// that fails changes no stored record and gives its slots back. Identifiers
// the records table cannot hold are refused with the other checks.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/row_block.h"
#include "collection/collection.h"
#include "json/json_value.h"
#include "json/json_writer.h"

namespace tessello {

struct BatchInput {
    RowBlock rows;
    std::vector<JsonText> metadata;
    std::optional<std::vector<std::string>> ids;
    std::optional<std::vector<std::optional<std::uint64_t>>> ttls;
};

// The identifiers in batch order.
Result<std::vector<std::string>> add_batch_records(Collection& core, BatchInput batch);

}  // namespace tessello
