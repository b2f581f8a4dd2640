// The index file ("hnsw.index") through the real loader, load_hnsw_index.
//
// The input is taken as the image: it is written to a file followed by its
// right CRC-32, so that mutations reach the decoder and the consistency
// checks instead of stopping at the checksum (the input is also loaded once
// as the whole file, CRC included, for the size and checksum checks). An
// image that loads re-encodes to exactly the bytes it came from (those after
// the last field are ignored), and is a graph every operation can use: a
// search walks it, an insert links new nodes into it, and the graph that
// comes out saves and loads again (when the loaded one had the layer of its
// max_level, see below).
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "search/hnsw/graph_search.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/persist.h"
#include "storage/vectors.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

namespace {

constexpr std::uint64_t kDims = 4;
constexpr std::uint64_t kSlots = 24;
constexpr std::uint64_t kDeletedSlot = 5;

// The vectors every loaded graph is searched against: slots 0 to 23, slot 5
// carrying the deleted mark. Node slots at or past 24 have no vector.
const VectorStore& vectors() {
    static const std::unique_ptr<VectorStore> store = [] {
        auto created = create_vector_store(fuzz::scratch_dir() / "graph-vectors.bin", kDims);
        fuzz_check(created.has_value(), "create the vector file");
        auto s = std::make_unique<VectorStore>(std::move(*created));
        for (std::uint64_t i = 0; i < kSlots; ++i) {
            auto slot = s->append_slot();
            fuzz_check(slot.has_value(), "append a slot");
            const float x = static_cast<float>(i);
            const float v[kDims] = {std::cos(x), std::sin(x), 0.1f * x, 1.0f};
            fuzz_check(s->write_slot(*slot, v).has_value(), "write a slot");
        }
        fuzz_check(s->mark_deleted(kDeletedSlot).has_value(), "mark a slot deleted");
        return s;
    }();
    return *store;
}

std::vector<std::uint8_t> with_crc(std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> file(body.begin(), body.end());
    const auto crc = static_cast<std::uint32_t>(crc32_z(0L, body.data(), body.size()));
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return file;
}

bool is_load_failure(const StoreError& e) {
    return e.kind() == StoreError::Corruption || e.kind() == StoreError::Serialization;
}

void exercise(HnswIndex& index) {
    const VectorStore& store = vectors();
    index.deleted_slots.insert(kDeletedSlot);
    const float query[kDims] = {0.5f, -0.25f, 1.0f, 0.75f};
    const std::uint64_t n = index.graph.nodes.size();
    for (std::uint64_t wanted : {std::uint64_t{1}, std::uint64_t{10}}) {
        const auto found = graph_candidates(index, query, wanted, store);
        fuzz_check(found.size() <= wanted && found.size() <= n, "a search returns at most what was wanted");
    }
    std::vector<LiveEntry> entries;
    for (std::uint64_t slot = 0; slot < kSlots + 2; slot += 3)
        entries.push_back(LiveEntry{slot, "new-" + std::to_string(slot)});
    insert_nodes(index, entries, store);
    fuzz_check(index.graph.nodes.size() >= n, "an insert only adds nodes");
    (void)graph_candidates(index, query, 5, store);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path path = fuzz::scratch_dir() / "hnsw.index";
    const Metric metric = static_cast<Metric>(size % 3);

    // The input as the whole file.
    fuzz::write_file(path, {data, size});
    if (auto raw = load_hnsw_index(path, metric); !raw)
        fuzz_check(is_load_failure(raw.error()), "a refused file is Corruption or Serialization");

    // The input as the image, under its right checksum.
    fuzz::write_file(path, with_crc({data, size}));
    auto index = load_hnsw_index(path, metric);
    if (!index) {
        fuzz_check(is_load_failure(index.error()), "a refused image is Corruption or Serialization");
        fuzz_check(index.error().kind() != StoreError::Corruption ||
                       index.error().message().find("checksum") == std::string::npos,
                   "the right checksum is accepted");
        return 0;
    }
    const std::vector<std::uint8_t> encoded = encode_hnsw_body(flatten_graph((*index)->graph));
    fuzz_check(encoded.size() <= size && std::equal(encoded.begin(), encoded.end(), data),
               "a loaded image re-encodes to the bytes it came from");

    // The loader also takes nodes on no layer at all, with any max_level up
    // to 32; an insert then adds layers below that max_level, and the graph
    // saves as one the loader refuses (the next opening rebuilds the index).
    // Every graph with its max_level's layer keeps it through the operations.
    const HnswGraph& loaded = (*index)->graph;
    const bool has_top_layer = loaded.nodes.empty() || loaded.max_level < loaded.layers.size();

    exercise(**index);
    if (!has_top_layer) return 0;
    // What the operations left is still a graph the loader takes.
    fuzz::write_file(path, with_crc(encode_hnsw_body(flatten_graph((*index)->graph))));
    auto again = load_hnsw_index(path, metric);
    if (!again) std::fprintf(stderr, "reloading: %s\n", again.error().message().c_str());
    fuzz_check(again.has_value(), "a graph the operations left saves and loads again");
    return 0;
}
