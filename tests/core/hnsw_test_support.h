#pragma once
// A vector file in a fresh directory for graph tests, with helpers to store
// vectors and to compare graphs.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "search/hnsw/hnsw_graph.h"
#include "storage/vectors.h"
#include "temp_dir.h"

namespace tessello::testing {

class VectorFile {
public:
    explicit VectorFile(std::uint64_t dims = 2) {
        auto s = create_vector_store(dir / "vectors.bin", dims);
        EXPECT_TRUE(s) << (s ? "" : s.error().message());
        store.emplace(std::move(*s));
    }

    // Appends a slot holding v; returns the slot.
    std::uint64_t add(std::vector<float> v) {
        const auto slot = store->append_slot();
        EXPECT_TRUE(slot);
        EXPECT_TRUE(store->write_slot(*slot, v));
        return *slot;
    }

    void mark_deleted(std::uint64_t slot) { EXPECT_TRUE(store->mark_deleted(slot)); }

    const VectorStore& get() const { return *store; }

    TempDir dir;
    std::optional<VectorStore> store;
};

inline HnswConfig small_config(std::uint64_t m = 4, std::uint64_t ef_search = 10) {
    return HnswConfig{m, 2 * m, m, 50, ef_search, 0.0, 0};
}

inline void expect_same_graph(const HnswGraph& a, const HnswGraph& b) {
    EXPECT_EQ(a.nodes, b.nodes);
    EXPECT_EQ(a.node_slots, b.node_slots);
    EXPECT_EQ(a.layers, b.layers);
    EXPECT_EQ(a.entry_point, b.entry_point);
    EXPECT_EQ(a.max_level, b.max_level);
    EXPECT_EQ(a.slot_to_node, b.slot_to_node);
    EXPECT_TRUE(same_hnsw_config(a.config, b.config));
}

}  // namespace tessello::testing
