#pragma once
// The collection registry: table "collections" of the database's own
// "meta.redb", collection name to encoded CollectionConfig (name, dimensions,
// metric as a u32 index, created_at, optional 56-byte HnswConfig). Names are
// compared and ordered byte for byte. The caller owns the transactions:
// save and delete neither commit nor abort.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/hnsw_config.h"
#include "storage/kv_store.h"
#include "storage/metric.h"

namespace tessello {

inline constexpr std::string_view kCollectionsTable = "collections";

struct CollectionConfig {
    std::string name;
    std::uint64_t dimensions = 0;
    Metric metric = Metric::Cosine;
    std::uint64_t created_at = 0;
    std::optional<HnswConfig> hnsw;
};

// 29 + name bytes, or 85 + name bytes with HNSW parameters.
std::vector<std::uint8_t> encode_collection_config(const CollectionConfig& config);
// Bytes after the last field are ignored; failures are StoreError::Serialization.
Result<CollectionConfig> decode_collection_config(Bytes bytes);

Result<std::optional<CollectionConfig>> load_collection_config(const ReadTxn& txn, std::string_view name);
Status save_collection_config(WriteTxn& txn, const CollectionConfig& config);
// Whether an entry was removed.
Result<bool> delete_collection_config(WriteTxn& txn, std::string_view name);
// Every name in byte order, from a read transaction of its own. A key that is
// not UTF-8 (only a file written by other means can hold one) is an error.
Result<std::vector<std::string>> list_collection_names(KvStore& registry);

}  // namespace tessello
