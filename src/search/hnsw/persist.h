#pragma once
// The index file "hnsw.index": a flat image of a graph (HnswPersist, below,
// in the binary encoding of stored values) followed by the CRC-32 of that
// image as a little-endian u32. The deleted slots and the metric are not
// stored. Links are stored per layer in compressed-sparse-row form: the
// neighbours of node i on layer l are layer_neighbors[l][offsets[l][i] ..
// offsets[l][i + 1]).
//
// Loading checks, in order: size, checksum, decoding, magic, version, and
// then that the image is a consistent graph (array lengths, offsets, links
// and entry point below the node count, levels), so that a damaged file is
// refused as a load failure instead of being used. Memory is reserved only
// from what the bytes can actually hold.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/binary_codec.h"
#include "base/store_error.h"
#include "search/hnsw/hnsw_graph.h"

namespace tessello {

inline constexpr std::uint32_t kHnswMagic = 0x484E5357;  // "WSNH" on disk
inline constexpr std::uint16_t kHnswVersion = 1;

struct HnswPersist {
    std::uint32_t magic = kHnswMagic;
    std::uint16_t version = kHnswVersion;
    HnswConfig config;
    std::uint32_t node_count = 0;
    std::uint8_t max_level = 0;
    std::optional<std::uint32_t> entry_point;
    std::vector<std::uint64_t> node_slots;
    std::vector<std::string> node_ids;
    std::vector<std::uint8_t> node_levels;
    std::uint64_t num_layers = 0;
    std::vector<std::vector<std::uint32_t>> layer_offsets;
    std::vector<std::vector<std::uint32_t>> layer_neighbors;
};

// The image of a graph.
HnswPersist flatten_graph(const HnswGraph& graph);
// The exact encoded size of an image.
std::size_t hnsw_body_size(const HnswPersist& body);
// The encoded image (exactly hnsw_body_size bytes).
std::vector<std::uint8_t> encode_hnsw_body(const HnswPersist& body);
// Decodes an image; bytes after the last field are ignored. Failures are the
// decoder's StoreError::Serialization.
Result<HnswPersist> decode_hnsw_body(Bytes bytes);

// Writes the graph's image and its CRC (creating or truncating the file),
// without fsync. The caller holds the collection's index lock and the graph
// lock, both shared.
Status save_index(const HnswGraph& graph, const std::filesystem::path& path);

// Reads a file written by save_index into a new index with the given metric
// and no deleted slots; the graph's parameters are the file's.
Result<std::unique_ptr<HnswIndex>> load_hnsw_index(const std::filesystem::path& path, Metric metric);

}  // namespace tessello
