// Writes the seed corpus of every fuzz target: small valid inputs made by the
// system's own encoders and writers, and edge cases next to them (fields at
// their limits, bytes after the last field, a value cut short, a bad tag or
// variant, an absurd length). Each target's seeds go to <root>/<target>/ as
// files named "seed-*"; files of other names (regression inputs) are left
// alone. Run through tests/fuzz/make-corpus; the output is committed.
//
// Usage: fuzz_seeds <corpus root>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/persist.h"
#include "storage/freelist.h"
#include "storage/kv_store.h"
#include "storage/record.h"
#include "storage/records_table.h"
#include "storage/registry.h"
#include "storage/vectors.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

namespace {

using ByteVec = std::vector<std::uint8_t>;
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::filesystem::path g_root;

void seed(const char* target, const std::string& name, const ByteVec& bytes) {
    const std::filesystem::path dir = g_root / target;
    std::filesystem::create_directories(dir);
    fuzz::write_file(dir / ("seed-" + name), bytes);
}

void seed_text(const char* target, const std::string& name, std::string_view text) {
    seed(target, name, ByteVec(text.begin(), text.end()));
}

ByteVec cat(ByteVec a, const ByteVec& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ByteVec cut(ByteVec a, std::size_t drop) {
    a.resize(a.size() - drop);
    return a;
}

ByteVec u64_bytes(std::uint64_t v) {
    ByteVec out;
    ByteWriter(out).u64(v);
    return out;
}

// ---- stored values ----------------------------------------------------------

void records() {
    const Record plain{"doc-1", 0, R"({"a":1})", 1700000000, std::nullopt, RecordState::Active};
    const Record full{"id-\xC3\xBC", 3, R"({"n":-2.5,"tags":["x","y"]})", 17, 99, RecordState::Pending};
    const Record empty{"", 0, "", 0, std::nullopt, RecordState::Tombstone};
    const Record limits{std::string(40, 'k'), kMax64, "null", kMax64, kMax64, RecordState::Active};
    seed("record", "active", encode_record(plain));
    seed("record", "pending-expiry", encode_record(full));
    seed("record", "tombstone-empty", encode_record(empty));
    seed("record", "limits", encode_record(limits));
    seed("record", "trailing-bytes", cat(encode_record(plain), {0xAA, 0xBB, 0xCC}));
    seed("record", "cut-in-state", cut(encode_record(full), 2));
    ByteVec bad_state = encode_record(plain);
    bad_state[bad_state.size() - 4] = 3;
    seed("record", "state-3", bad_state);
    ByteVec bad_tag = encode_record(plain);
    bad_tag[bad_tag.size() - 5] = 2;
    seed("record", "tag-2", bad_tag);
    ByteVec bad_utf8 = encode_record(Record{"ab", 1, "{}", 2, std::nullopt, RecordState::Active});
    bad_utf8[9] = 0xC3;  // a lead byte with no continuation
    seed("record", "id-not-utf8", bad_utf8);
    seed("record", "huge-id-length", cat(u64_bytes(kMax64 - 3), {'a', 'b', 'c'}));
}

void collection_configs() {
    const CollectionConfig flat{"docs", 384, Metric::Cosine, 1700000000, std::nullopt};
    const CollectionConfig graph{"vecs", 8, Metric::L2, 5, HnswConfig{16, 32, 16, 200, 50, 1.0 / std::log(16.0), 0}};
    const CollectionConfig odd{"", kMax64, Metric::Dot, kMax64,
                               HnswConfig{0, kMax64, 1, 0, kMax64, std::numeric_limits<double>::quiet_NaN(), 7}};
    seed("collection_config", "flat", encode_collection_config(flat));
    seed("collection_config", "hnsw", encode_collection_config(graph));
    seed("collection_config", "limits-nan-multiplier", encode_collection_config(odd));
    seed("collection_config", "trailing-bytes", cat(encode_collection_config(graph), {1, 2, 3, 4}));
    seed("collection_config", "cut-in-hnsw", cut(encode_collection_config(graph), 9));
    ByteVec bad_metric = encode_collection_config(flat);
    bad_metric[8 + 4 + 8] = 3;
    seed("collection_config", "metric-3", bad_metric);
    ByteVec bad_tag = encode_collection_config(flat);
    bad_tag.back() = 2;
    seed("collection_config", "tag-2", bad_tag);
}

void freelists() {
    seed("freelist", "empty-value", {});
    seed("freelist", "no-entries", encode_freelist({}));
    seed("freelist", "three", encode_freelist({1, 2, 3}));
    seed("freelist", "repeats-and-max", encode_freelist({5, 5, kMax64, 0}));
    seed("freelist", "trailing-bytes", cat(encode_freelist({9}), {0xFF, 0xFF}));
    seed("freelist", "cut-entry", cut(encode_freelist({1, 2}), 3));
    seed("freelist", "huge-count", cat(u64_bytes(kMax64), u64_bytes(4)));
}

// ---- the vector file --------------------------------------------------------

ByteVec read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 64-byte header with the given fields and the checksum its version uses.
ByteVec header(std::uint32_t magic, std::uint16_t version, std::uint32_t dims, std::uint64_t slots) {
    ByteVec h(kVectorsHeaderSize, 0);
    auto put = [&](std::size_t at, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(0, magic, 4);
    put(4, version, 2);
    put(6, dims, 4);
    put(10, slots, 8);
    put(18, header_checksum(std::span<const std::uint8_t, 18>(h.data(), 18), version), 4);
    return h;
}

void vector_files() {
    const std::filesystem::path path = fuzz::scratch_dir() / "seed-vectors.bin";
    auto store = create_vector_store(path, 3);
    fuzz_check(store.has_value(), "create a vector file");
    for (int i = 0; i < 3; ++i) {
        auto slot = store->append_slot();
        fuzz_check(slot.has_value(), "append a slot");
        const float v[3] = {1.0f * i, -0.5f, 2.25f};
        fuzz_check(store->write_slot(*slot, v).has_value(), "write a slot");
    }
    fuzz_check(store->mark_deleted(1).has_value(), "mark a slot deleted");
    fuzz_check(store->sync_vectors().has_value(), "sync the vector file");
    const ByteVec file = read_file(path);
    const std::size_t used = kVectorsHeaderSize + 3 * 12;
    // The slots in use and no spare room, so the seed stays small.
    seed("vectors_header", "three-slots", ByteVec(file.begin(), file.begin() + used));
    seed("vectors_header", "header-only", header(kVectorsMagic, 2, 3, 0));
    seed("vectors_header", "version-1", cat(header(kVectorsMagic, 1, 2, 1), ByteVec(8, 0x3F)));
    seed("vectors_header", "truncated", cat(header(kVectorsMagic, 2, 4, 3), ByteVec(16, 0)));
    seed("vectors_header", "wrong-magic", header(0x12345678, 2, 3, 0));
    seed("vectors_header", "version-3", header(kVectorsMagic, 3, 3, 0));
    seed("vectors_header", "zero-dimensions", header(kVectorsMagic, 2, 0, 0));
    seed("vectors_header", "too-many-dimensions", header(kVectorsMagic, 2, 65537, 0));
    seed("vectors_header", "huge-slot-count", cat(header(kVectorsMagic, 2, 1, kMax64 / 2), ByteVec(4, 0)));
    ByteVec bad_sum = header(kVectorsMagic, 2, 3, 0);
    bad_sum[18] ^= 0x01;
    seed("vectors_header", "bad-checksum", bad_sum);
    seed("vectors_header", "short", ByteVec(file.begin(), file.begin() + 20));
}

// ---- the index file ---------------------------------------------------------

// The image of a graph built by the system's own insert over n vectors of
// dims dimensions; a level multiplier well above the usual gives it layers.
ByteVec graph_image(std::uint64_t n, std::uint64_t dims, const HnswConfig& config, Metric metric) {
    const std::filesystem::path path = fuzz::scratch_dir() / ("seed-graph-" + std::to_string(n) + ".bin");
    auto store = create_vector_store(path, dims);
    fuzz_check(store.has_value(), "create a vector file");
    std::vector<LiveEntry> entries;
    for (std::uint64_t i = 0; i < n; ++i) {
        auto slot = store->append_slot();
        fuzz_check(slot.has_value(), "append a slot");
        std::vector<float> v(dims);
        for (std::uint64_t d = 0; d < dims; ++d) v[d] = std::sin(static_cast<float>(i * dims + d));
        fuzz_check(store->write_slot(*slot, v).has_value(), "write a slot");
        entries.push_back(LiveEntry{*slot, "id-" + std::to_string(i)});
    }
    HnswIndex index(empty_graph(config), metric);
    insert_nodes(index, entries, *store);
    return encode_hnsw_body(flatten_graph(index.graph));
}

ByteVec with_crc(ByteVec body) {
    const auto crc = static_cast<std::uint32_t>(crc32_z(0L, body.data(), body.size()));
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return body;
}

void index_files() {
    // The target appends the checksum itself: its inputs are images.
    const HnswConfig usual{16, 32, 16, 200, 50, 1.0 / std::log(16.0), 0};
    const HnswConfig tall{2, 4, 2, 8, 4, 1.5, 0};
    seed("hnsw_index", "empty", encode_hnsw_body(flatten_graph(empty_graph(usual))));
    seed("hnsw_index", "one-node", graph_image(1, 2, usual, Metric::Cosine));
    seed("hnsw_index", "twelve-nodes-layers", graph_image(12, 3, tall, Metric::L2));
    seed("hnsw_index", "forty-nodes", graph_image(40, 2, HnswConfig{4, 8, 4, 16, 8, 0.7, 0}, Metric::Dot));
    ByteVec trailing = graph_image(5, 2, tall, Metric::L2);
    trailing.insert(trailing.end(), {0, 0, 0, 0, 0, 0, 0, 0});
    seed("hnsw_index", "trailing-bytes", trailing);
    // A whole file, checksum included, for the loader's own size and checksum checks.
    seed("hnsw_index", "whole-file", with_crc(graph_image(3, 2, usual, Metric::Cosine)));
    ByteVec bad_version = graph_image(2, 2, usual, Metric::L2);
    bad_version[4] = 2;
    seed("hnsw_index", "version-2", bad_version);
    seed("hnsw_index", "cut", cut(graph_image(6, 2, tall, Metric::L2), 5));
}

// ---- the key-value file -----------------------------------------------------

void kv_files() {
    const std::filesystem::path dir = fuzz::scratch_dir() / "seed-kv";
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / "meta.redb";
    {
        auto store = KvStore::open(path, {kRecordsTable, kFreelistTable, kCollectionsTable}, std::size_t{64} << 20);
        fuzz_check(store.has_value(), "open a key-value file");
        const Status st = write_transaction(**store, [](WriteTxn& txn) -> Status {
            for (int i = 0; i < 6; ++i) {
                const Record r{"rec-" + std::to_string(i),
                               static_cast<std::uint64_t>(i),
                               R"({"i":)" + std::to_string(i) + "}",
                               100,
                               i % 2 ? std::optional<std::uint64_t>(200) : std::nullopt,
                               i == 5 ? RecordState::Tombstone : RecordState::Active};
                if (auto put = put_record(txn, r); !put) return put;
            }
            const auto list = encode_freelist({5});
            if (auto put = txn.put(kFreelistTable, kFreelistKey, list); !put) return put;
            return save_collection_config(
                txn, CollectionConfig{"docs", 3, Metric::Cosine, 100, HnswConfig{16, 32, 16, 200, 50, 0.36, 0}});
        });
        fuzz_check(st.has_value(), "fill a key-value file");
    }
    seed("kv_file", "three-tables", read_file(path));
    seed("kv_file", "empty-file", {});
}

// ---- text readers -----------------------------------------------------------

void json_texts() {
    seed_text("json", "object", R"({"a":1,"b":[true,false,null],"c":{"d":"e"},"f":-0.5e-3})");
    seed_text("json", "number-limits",
              R"([18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809,-0,0.0,1e308,5e-324,1.5e-7,1e+13])");
    seed_text("json", "escapes", R"(["\"\\\/\b\f\n\r\t","\u00e9\ud83d\ude00","\u0000"])");
    seed_text("json", "utf8", "[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"]");
    seed_text("json", "white-space", " \t\r\n{ \"k\" : [ 1 , 2 ] }\n ");
    seed_text("json", "duplicate-keys", R"({"k":1,"k":[2],"a":{"k":3,"k":4}})");
    seed_text("json", "nesting-127", std::string(127, '[') + std::string(127, ']'));
    seed_text("json", "nesting-128", std::string(128, '[') + std::string(128, ']'));
    seed_text("json", "lone-surrogate", R"(["\ud800"])");
    seed_text("json", "trailing-comma", "[1,2,]");
    seed_text("json", "out-of-range", "[1e400]");
    seed_text("json", "scalar", "\"just a string\"");
}

void export_lines() {
    seed_text("export_line", "header",
              R"({"version":1,"collection":"docs","dimensions":3,"metric":"cosine","record_count":2,"exported_at":1700000000})");
    seed_text("export_line", "header-array", R"([1,"docs",3,"l2",0,0])");
    seed_text("export_line", "record",
              R"({"id":"a","vector":[0.1,-2.5,1e-7],"metadata":{"k":"v"},"created_at":1700000000})");
    seed_text("export_line", "record-ttl",
              R"({"id":"b","vector":[1.0,0.0,-0.0],"metadata":null,"created_at":5,"ttl":0})");
    seed_text("export_line", "record-array", R"(["c",[3.4028235e+38,1.0e-45,2],[1,{"x":[]}],null,10])");
    seed_text("export_line", "record-unknown-key", R"({"extra":[1,2],"id":"d","vector":[],"metadata":{}})");
    seed_text("export_line", "duplicate-field", R"({"id":"e","id":"f","vector":[1],"metadata":{}})");
    seed_text("export_line", "missing-field", R"({"id":"g","metadata":{}})");
    seed_text("export_line", "short-array", R"(["h",[1]])");
    seed_text("export_line", "version-too-big", R"({"version":4294967296,"collection":"x","dimensions":1,"metric":"dot","record_count":0,"exported_at":0})");
    seed_text("export_line", "wrong-kinds", R"({"id":7,"vector":"x","metadata":{},"created_at":-1,"ttl":1.5})");
}

void where_filters() {
    seed_text("parse_where", "equal", R"({"a":1,"b":"x","c":null})");
    seed_text("parse_where", "range", R"({"n":{"$gt":5,"$lte":10.5}})");
    seed_text("parse_where", "lists", R"({"tag":{"$in":["x","y"]},"k":{"$nin":[1,2.0,-3]}})");
    seed_text("parse_where", "list-operator-without-list", R"({"tag":{"$in":"x","$eq":"y"}})");
    seed_text("parse_where", "unknown-operators", R"({"a":{"$regex":"x","$exists":true}})");
    seed_text("parse_where", "nested-plain", R"({"a":{"b":1},"c":[1,{"$eq":2}],"d":{}})");
    seed_text("parse_where", "operator-operands", R"({"a":{"$eq":{"$ne":1}},"b":{"$ne":[]},"c":{"$lt":"m","$gte":"a"}})");
    seed_text("parse_where", "empty", "{}");
    seed_text("parse_where", "not-an-object", "[{\"a\":1}]");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus root>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    records();
    collection_configs();
    freelists();
    vector_files();
    index_files();
    kv_files();
    json_texts();
    export_lines();
    where_filters();
    return 0;
}
