// plant_hnsw DB_DIR COLLECTION M M0 MAX_M EF_CONSTRUCTION EF_SEARCH LEVEL_MULTIPLIER
//
// Gives an existing collection's registry entry graph-index parameters, the
// way a collection with a graph index is configured: the entry in the
// database's "meta.redb" is read, its HnswConfig set (reserved 0) and the
// entry written back, through the core's own registry encoding so that the
// bytes are exactly what the core would have stored.
//
// Run it while no process has the database open: the registry's lock refuses
// a second opener. The collection opens with a graph index from then on; its
// graph is built by the first search after records are added.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/dirs.h"
#include "storage/kv_store.h"
#include "storage/registry.h"

namespace {

bool parse_u64(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return false;
    out = v;
    return true;
}

int report(const char* what, const tessello::StoreError& error) {
    std::fprintf(stderr, "plant_hnsw: %s: %s\n", what, error.message().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessello;
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: plant_hnsw DB_DIR COLLECTION M M0 MAX_M EF_CONSTRUCTION EF_SEARCH LEVEL_MULTIPLIER\n");
        return 2;
    }
    HnswConfig hnsw;
    char* end = nullptr;
    hnsw.level_multiplier = std::strtod(argv[8], &end);
    if (!parse_u64(argv[3], hnsw.m) || !parse_u64(argv[4], hnsw.m0) || !parse_u64(argv[5], hnsw.max_m) ||
        !parse_u64(argv[6], hnsw.ef_construction) || !parse_u64(argv[7], hnsw.ef_search) || *end != '\0') {
        std::fprintf(stderr, "plant_hnsw: parameters must be whole numbers and a multiplier\n");
        return 2;
    }
    const std::string name = argv[2];

    auto store = KvStore::open(join_path(argv[1], "meta.redb"), {kCollectionsTable});
    if (!store) return report("opening the registry", store.error());

    CollectionConfig config;
    {
        // The read transaction ends before the write transaction begins.
        auto txn = begin_read_txn(**store);
        if (!txn) return report("reading the registry", txn.error());
        auto loaded = load_collection_config(*txn, name);
        if (!loaded) return report("decoding the entry", loaded.error());
        if (!*loaded) {
            std::fprintf(stderr, "plant_hnsw: no collection named %s\n", name.c_str());
            return 1;
        }
        config = std::move(**loaded);
    }
    config.hnsw = hnsw;
    auto saved = write_transaction(**store, [&](WriteTxn& txn) { return save_collection_config(txn, config); });
    if (!saved) return report("writing the entry", saved.error());
    return 0;
}
