#include "search/hnsw/persist.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "file_bytes.h"
#include "hnsw_test_support.h"
#include "search/hnsw/graph_search.h"
#include "search/hnsw/insert.h"

namespace tessello {
namespace {

using testing::TempDir;
using testing::VectorFile;
using ByteVec = testing::FileBytes;

std::uint32_t crc_of(const ByteVec& body) { return static_cast<std::uint32_t>(crc32_z(0L, body.data(), body.size())); }

// The body followed by its own CRC, as the saver lays it out.
ByteVec with_trailer(ByteVec body) {
    const std::uint32_t crc = crc_of(body);
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return body;
}

void put_u64(ByteVec& bytes, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

class HnswPersistTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return dir / "hnsw.index"; }

    // A new file each time: ext4 flushes a file replaced by truncation on
    // close, which would make the fuzz test crawl.
    void write(const ByteVec& bytes) const {
        std::filesystem::remove(file());
        testing::write_file(file(), bytes);
    }

    ByteVec read() const { return testing::read_file(file()); }

    // The message of a load that must fail.
    std::string load_error(const ByteVec& bytes, StoreError::Kind kind) const {
        write(bytes);
        auto loaded = load_hnsw_index(file(), Metric::L2);
        EXPECT_FALSE(loaded);
        if (loaded) return "";
        EXPECT_EQ(loaded.error().kind(), kind) << loaded.error().message();
        return loaded.error().message();
    }

    // Three nodes on two layers with a few links.
    static HnswGraph small_graph() {
        HnswGraph g = empty_graph(HnswConfig{4, 8, 6, 100, 20, 0.5, 77});
        add_node(g, 10, "a", 1);
        add_node(g, 11, "bé", 0);
        add_node(g, 12, "c", 1);
        g.layers[0] = {{1, 2}, {0}, {0, 1}};
        g.layers[1] = {{2}, {}, {0}};
        return g;
    }

    TempDir dir;
};

TEST_F(HnswPersistTest, AnEmptyGraphIsA116ByteBodyAndOneNodeIs162) {
    HnswConfig config{1, 2, 3, 4, 5, 0.25, 6};
    ASSERT_TRUE(save_index(empty_graph(config), file()));
    const ByteVec bytes = read();
    ASSERT_EQ(bytes.size(), 120u);
    ByteVec expected = {0x57, 0x53, 0x4E, 0x48, 1, 0};
    ByteWriter w(expected);
    write_hnsw_config(config, w);
    expected.resize(116, 0);  // node_count, max_level, tag, six zero counts
    EXPECT_EQ(ByteVec(bytes.begin(), bytes.begin() + 116), expected);
    EXPECT_EQ(bytes, with_trailer(expected));

    HnswGraph one = empty_graph(config);
    add_node(one, 5, "x", 0);
    ASSERT_TRUE(save_index(one, file()));
    const ByteVec b1 = read();
    ASSERT_EQ(b1.size(), 166u);
    EXPECT_EQ(b1[67], 1);  // entry point present, node 0, slots at 72
    EXPECT_EQ(b1[68], 0);
    EXPECT_EQ(b1[72], 1);
    EXPECT_EQ(b1[80], 5);
}

TEST_F(HnswPersistTest, TheBodySizeFollowsTheFormula) {
    const HnswGraph g = small_graph();
    ASSERT_TRUE(save_index(g, file()));
    const std::size_t n = 3, ids = (8 + 1) + (8 + 3) + (8 + 1), links = 5 + 2;
    const std::size_t body = 116 + 9 * n + ids + 4 + 2 * (8 + 4 * (n + 1)) + (2 * 8 + 4 * links);
    EXPECT_EQ(read().size(), body + 4);
    EXPECT_EQ(hnsw_body_size(flatten_graph(g)), body);
}

TEST_F(HnswPersistTest, ASavedGraphLoadsBackWholeWithParametersFromTheFile) {
    VectorFile vectors{3};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coord(-1, 1);
    std::vector<LiveEntry> entries;
    for (std::uint64_t i = 0; i < 400; ++i) {
        vectors.add({coord(rng), coord(rng), coord(rng)});
        entries.push_back(LiveEntry{i, "record-" + std::to_string(i * 7919 % 1000)});
    }
    const double nan_multiplier = std::bit_cast<double>(std::uint64_t{0x7FF8000000001234});
    HnswIndex built(empty_graph(HnswConfig{5, 10, 5, 40, 16, 0.9, 123}), Metric::Cosine);
    insert_nodes(built, entries, vectors.get());
    built.graph.config.level_multiplier = nan_multiplier;
    add_node(built.graph, 3, "same slot again", 0);  // the slot maps to the later node
    ASSERT_GT(built.graph.layers.size(), 1u);
    ASSERT_TRUE(save_index(built.graph, file()));
    ASSERT_GT(read().size(), 8192u);  // past the writer's buffer

    auto loaded = load_hnsw_index(file(), Metric::Dot);
    ASSERT_TRUE(loaded) << loaded.error().message();
    testing::expect_same_graph((*loaded)->graph, built.graph);
    EXPECT_EQ((*loaded)->graph.slot_to_node.at(3), 400u);
    EXPECT_EQ((*loaded)->metric, Metric::Dot);
    EXPECT_TRUE((*loaded)->deleted_slots.empty());

    // Saving again truncates the old file.
    ASSERT_TRUE(save_index(empty_graph(HnswConfig{}), file()));
    EXPECT_EQ(read().size(), 120u);
}

TEST_F(HnswPersistTest, BytesAfterTheLastFieldAreIgnored) {
    ByteVec body = encode_hnsw_body(flatten_graph(small_graph()));
    body.insert(body.end(), {9, 8, 7, 6, 5});
    write(with_trailer(body));
    auto loaded = load_hnsw_index(file(), Metric::L2);
    ASSERT_TRUE(loaded) << loaded.error().message();
    testing::expect_same_graph((*loaded)->graph, small_graph());
}

TEST_F(HnswPersistTest, SizeChecksumAndHeaderChecksComeInOrderWithTheirMessages) {
    const ByteVec good = with_trailer(encode_hnsw_body(flatten_graph(small_graph())));
    const std::string too_small = "Data corruption: HNSW index file too small";
    EXPECT_EQ(load_error({}, StoreError::Corruption), too_small);
    EXPECT_EQ(load_error({0, 0, 0}, StoreError::Corruption), too_small);
    // Four bytes are a CRC of the empty body, which is 0.
    EXPECT_EQ(load_error({0, 0, 0, 0}, StoreError::Serialization),
              "Serialization error: io error: unexpected end of file");
    EXPECT_EQ(load_error({1, 2, 3, 4}, StoreError::Corruption),
              "Data corruption: HNSW index checksum mismatch: expected 04030201, got 00000000");

    for (std::size_t at : {std::size_t{0}, std::size_t{70}, good.size() - 5, good.size() - 4, good.size() - 1}) {
        SCOPED_TRACE(at);
        ByteVec bad = good;
        bad[at] ^= 0x40;
        const ByteVec body(bad.begin(), bad.end() - 4);
        const std::uint32_t stored = bad[bad.size() - 4] | bad[bad.size() - 3] << 8 | bad[bad.size() - 2] << 16 |
                                     std::uint32_t{bad[bad.size() - 1]} << 24;
        EXPECT_EQ(load_error(bad, StoreError::Corruption), "Data corruption: HNSW index checksum mismatch: expected " +
                                                               hex8(stored) + ", got " + hex8(crc_of(body)));
    }

    HnswPersist p = flatten_graph(small_graph());
    p.magic = 0xABC;
    EXPECT_EQ(load_error(with_trailer(encode_hnsw_body(p)), StoreError::Corruption),
              "Data corruption: Invalid HNSW magic number: 00000abc");
    p = flatten_graph(small_graph());
    p.version = 2;
    EXPECT_EQ(load_error(with_trailer(encode_hnsw_body(p)), StoreError::Corruption),
              "Data corruption: Unsupported HNSW version: 2 (expected 1)");
    // The whole body is decoded before the magic is looked at.
    p.magic = 0;
    ByteVec cut = encode_hnsw_body(p);
    cut.resize(cut.size() - 1);
    EXPECT_EQ(load_error(with_trailer(cut), StoreError::Serialization),
              "Serialization error: io error: unexpected end of file");

    ByteVec tag = encode_hnsw_body(flatten_graph(small_graph()));
    tag[67] = 2;
    EXPECT_EQ(load_error(with_trailer(tag), StoreError::Serialization),
              "Serialization error: tag for enum is not valid, found 2");
    ByteVec id = encode_hnsw_body(flatten_graph(small_graph()));
    id[72 + 8 + 3 * 8 + 8 + 8] = 0xFF;  // the first byte of the first identifier
    EXPECT_EQ(load_error(with_trailer(id), StoreError::Serialization),
              "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");

    std::filesystem::remove(file());
    auto missing = load_hnsw_index(file(), Metric::L2);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");
    auto unsaved = save_index(small_graph(), dir / "no-such-dir" / "hnsw.index");
    ASSERT_FALSE(unsaved);
    EXPECT_EQ(unsaved.error().kind(), StoreError::Io);
}

TEST_F(HnswPersistTest, AHugeCountInASmallBodyEndsAtTheEndOfInputWithoutAllocating) {
    const ByteVec empty = encode_hnsw_body(flatten_graph(empty_graph(HnswConfig{})));
    // The counts of slots, ids, levels, offset arrays and neighbour arrays.
    for (std::size_t at : {68u, 76u, 84u, 100u, 108u}) {
        for (std::uint64_t count : {std::uint64_t{1} << 62, std::numeric_limits<std::uint64_t>::max()}) {
            SCOPED_TRACE(at);
            ByteVec body = empty;
            put_u64(body, at, count);
            EXPECT_EQ(load_error(with_trailer(body), StoreError::Serialization),
                      "Serialization error: io error: unexpected end of file");
        }
    }
    // The inner count of one layer's offsets.
    HnswPersist p = flatten_graph(empty_graph(HnswConfig{}));
    p.num_layers = 1;
    p.layer_offsets = {{0}};
    p.layer_neighbors = {{}};
    ByteVec body = encode_hnsw_body(p);
    put_u64(body, 108, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(load_error(with_trailer(body), StoreError::Serialization),
              "Serialization error: io error: unexpected end of file");
}

TEST_F(HnswPersistTest, AnInconsistentBodyIsRefused) {
    struct Case {
        const char* name;
        std::function<void(HnswPersist&)> damage;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"node count above the slots", [](HnswPersist& p) { p.node_count = 4; }, "3 node slots for 4 nodes"},
        {"slots short", [](HnswPersist& p) { p.node_slots.pop_back(); }, "2 node slots for 3 nodes"},
        {"ids long", [](HnswPersist& p) { p.node_ids.push_back("d"); }, "4 node ids for 3 nodes"},
        {"levels short", [](HnswPersist& p) { p.node_levels.pop_back(); }, "2 node levels for 3 nodes"},
        {"level 33", [](HnswPersist& p) { p.node_levels[1] = 33; }, "node 1 has level 33"},
        {"more layers than arrays", [](HnswPersist& p) { p.num_layers = 3; },
         "2 offset arrays and 2 neighbour arrays for 3 layers"},
        {"offset arrays short", [](HnswPersist& p) { p.layer_offsets.pop_back(); },
         "1 offset arrays and 2 neighbour arrays for 2 layers"},
        {"neighbour arrays long", [](HnswPersist& p) { p.layer_neighbors.push_back({}); },
         "2 offset arrays and 3 neighbour arrays for 2 layers"},
        {"offsets short", [](HnswPersist& p) { p.layer_offsets[1].pop_back(); }, "layer 1 has 3 offsets for 3 nodes"},
        {"offsets long", [](HnswPersist& p) { p.layer_offsets[0].push_back(5); }, "layer 0 has 5 offsets for 3 nodes"},
        {"offsets not from 0", [](HnswPersist& p) { p.layer_offsets[0][0] = 1; }, "layer 0 offsets start at 1"},
        {"offsets decrease", [](HnswPersist& p) { p.layer_offsets[0] = {0, 2, 1, 5}; },
         "layer 0 offsets decrease after node 1"},
        {"offsets end early", [](HnswPersist& p) { p.layer_neighbors[0].push_back(0); },
         "layer 0 offsets end at 5 but it holds 6 neighbours"},
        {"offsets past the neighbours", [](HnswPersist& p) { p.layer_offsets[1].back() = 9; },
         "layer 1 offsets end at 9 but it holds 2 neighbours"},
        {"link past the nodes", [](HnswPersist& p) { p.layer_neighbors[1][0] = 3; }, "layer 1 links to node 3 of 3"},
        {"entry past the nodes", [](HnswPersist& p) { p.entry_point = 3; }, "entry point 3 of 3 nodes"},
        {"no entry point", [](HnswPersist& p) { p.entry_point.reset(); }, "no entry point for 3 nodes"},
        {"max level past the layers", [](HnswPersist& p) { p.max_level = 2; }, "max level 2 with 2 layers"},
        {"entry point without nodes",
         [](HnswPersist& p) {
             p = flatten_graph(empty_graph(HnswConfig{}));
             p.entry_point = 0;
         },
         "an entry point without nodes"},
        {"max level 33 without layers",
         [](HnswPersist& p) {
             p = flatten_graph(empty_graph(HnswConfig{}));
             p.max_level = 33;
         },
         "max level 33 with 0 layers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HnswPersist p = flatten_graph(small_graph());
        c.damage(p);
        EXPECT_EQ(load_error(with_trailer(encode_hnsw_body(p)), StoreError::Corruption),
                  "Data corruption: Inconsistent HNSW index: " + c.message);
    }
    // Still a graph every operation can walk: nodes on no layer, and a
    // max_level below the last layer.
    for (bool no_layers : {true, false}) {
        HnswPersist p = flatten_graph(small_graph());
        if (no_layers) {
            p.num_layers = 0;
            p.layer_offsets.clear();
            p.layer_neighbors.clear();
        } else {
            p.max_level = 0;
        }
        write(with_trailer(encode_hnsw_body(p)));
        EXPECT_TRUE(load_hnsw_index(file(), Metric::L2));
    }
}

// Walks a loaded graph every way the system does: descent, layer-0 search
// and an insert, so a link or list that should have been refused shows up
// as a read out of bounds under the sanitizer.
void exercise(HnswIndex& index, const VectorStore& store) {
    const std::vector<float> q{0.5f, -0.5f};
    HnswGraph& g = index.graph;
    if (g.entry_point) {
        std::uint32_t current = *g.entry_point;
        for (std::uint64_t layer = g.max_level; layer >= 1; --layer)
            current = greedy_search_layer(g, q, current, layer, store, Metric::L2);
        const auto found = search_layer0(g, q, current, 8, {}, store, Metric::L2);
        for (const auto& c : found) ASSERT_LT(c.node, g.nodes.size());
    }
    insert_nodes(index, {LiveEntry{0, "new-0"}, LiveEntry{2, "new-2"}}, store);
}

TEST_F(HnswPersistTest, FuzzedFilesNeverCrashAndWhateverLoadsCanBeWalked) {
    VectorFile vectors{2};
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<float> coord(-1, 1);
    HnswIndex random_graph(empty_graph(HnswConfig{3, 4, 3, 10, 8, 1.0, 0}), Metric::L2);
    std::vector<LiveEntry> entries;
    for (std::uint64_t i = 0; i < 30; ++i) {
        vectors.add({coord(rng), coord(rng)});
        entries.push_back(LiveEntry{i + 3, "e" + std::to_string(i)});
    }
    insert_nodes(random_graph, entries, vectors.get());
    const std::vector<ByteVec> seeds = {encode_hnsw_body(flatten_graph(empty_graph(HnswConfig{1, 1, 1, 1, 1, 1, 1}))),
                                        encode_hnsw_body(flatten_graph(small_graph())),
                                        encode_hnsw_body(flatten_graph(random_graph.graph))};
    std::size_t loaded = 0;
    auto attempt = [&](const ByteVec& file_bytes) {
        write(file_bytes);
        auto index = load_hnsw_index(file(), Metric::L2);
        if (!index) return;
        ++loaded;
        exercise(**index, vectors.get());
    };
    for (const ByteVec& seed : seeds) {
        // Cut anywhere, with and without a CRC that fits the cut body.
        for (std::size_t n = 0; n <= seed.size(); n += (seed.size() > 400 ? 7 : 1)) {
            const ByteVec cut(seed.begin(), seed.begin() + n);
            attempt(cut);
            attempt(with_trailer(cut));
        }
        for (int round = 0; round < 600; ++round) {
            ByteVec body = seed;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int f = 0; f < flips; ++f) {
                const std::size_t at = rng() % body.size();
                // Small values and single bits keep the body decodable more often.
                switch (rng() % 3) {
                    case 0: body[at] = static_cast<std::uint8_t>(rng()); break;
                    case 1: body[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
                    default: body[at] = static_cast<std::uint8_t>(rng() % 4); break;
                }
            }
            if (rng() % 4 == 0) body.resize(rng() % (body.size() + 1));
            attempt(with_trailer(body));
        }
    }
    for (int round = 0; round < 300; ++round) {
        ByteVec junk(rng() % 200);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        attempt(junk);
        attempt(with_trailer(junk));
    }
    // The fuzz also reaches past the checks: some damaged bodies still load.
    EXPECT_GT(loaded, 0u);
}

}  // namespace
}  // namespace tessello
