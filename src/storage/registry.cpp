#include "storage/registry.h"

#include "base/utf8.h"

namespace tessello {

std::vector<std::uint8_t> encode_collection_config(const CollectionConfig& c) {
    std::vector<std::uint8_t> out;
    out.reserve(29 + c.name.size() + (c.hnsw ? kHnswConfigSize : 0));
    ByteWriter w(out);
    w.str(c.name);
    w.u64(c.dimensions);
    w.u32(static_cast<std::uint32_t>(c.metric));
    w.u64(c.created_at);
    w.tag(c.hnsw.has_value());
    if (c.hnsw) write_hnsw_config(*c.hnsw, w);
    return out;
}

Result<CollectionConfig> decode_collection_config(Bytes bytes) {
    ByteReader in(bytes);
    CollectionConfig c;
    auto name = in.str();
    if (!name) return fail(name.error());
    c.name = std::string(*name);
    auto dims = in.u64();
    if (!dims) return fail(dims.error());
    c.dimensions = *dims;
    auto metric = in.variant(3);
    if (!metric) return fail(metric.error());
    c.metric = static_cast<Metric>(*metric);
    auto created = in.u64();
    if (!created) return fail(created.error());
    c.created_at = *created;
    auto has_hnsw = in.tag();
    if (!has_hnsw) return fail(has_hnsw.error());
    if (*has_hnsw) {
        auto hnsw = decode_hnsw_config(in);
        if (!hnsw) return fail(hnsw.error());
        c.hnsw = *hnsw;
    }
    return c;
}

Result<std::optional<CollectionConfig>> load_collection_config(const ReadTxn& txn, std::string_view name) {
    auto value = txn.get(kCollectionsTable, name);
    if (!value) return fail(value.error());
    if (!*value) return std::optional<CollectionConfig>{};
    auto config = decode_collection_config(**value);
    if (!config) return fail(config.error());
    return std::optional<CollectionConfig>(std::move(*config));
}

Status save_collection_config(WriteTxn& txn, const CollectionConfig& config) {
    return txn.put(kCollectionsTable, config.name, encode_collection_config(config));
}

Result<bool> delete_collection_config(WriteTxn& txn, std::string_view name) {
    return txn.remove(kCollectionsTable, name);
}

Result<std::vector<std::string>> list_collection_names(KvStore& registry) {
    auto txn = begin_read_txn(registry);
    if (!txn) return fail(txn.error());
    auto cursor = txn->scan(kCollectionsTable);
    if (!cursor) return fail(cursor.error());
    std::vector<std::string> names;
    for (;;) {
        auto entry = cursor->next();
        if (!entry) return fail(entry.error());
        if (!*entry) return names;
        if (auto bad = utf8_error((*entry)->key))
            return fail(StoreError::Serialization, "string is not valid utf8: " + *bad);
        names.emplace_back((*entry)->key);
    }
}

}  // namespace tessello
