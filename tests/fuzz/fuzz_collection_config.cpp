// Registry entries (table "collections"): decode_collection_config on any
// bytes, with the optional HnswConfig inside. The encoding is canonical: a
// value that decodes re-encodes to exactly the bytes it was read from (those
// after the last field are ignored; level_multiplier keeps its bits, NaN
// payloads included), and every shorter prefix of them is refused.
#include <cstdint>

#include "fuzz_support.h"
#include "storage/registry.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ExactCopy input(data, size);
    auto config = decode_collection_config(input.bytes());
    if (!config) {
        fuzz_check(config.error().kind() == StoreError::Serialization, "a refused config is a Serialization error");
        return 0;
    }
    fuzz_check(static_cast<std::uint32_t>(config->metric) < 3, "the metric is one of the three");
    const std::vector<std::uint8_t> encoded = encode_collection_config(*config);
    fuzz_check(encoded.size() == 29 + config->name.size() + (config->hnsw ? kHnswConfigSize : 0),
               "the encoded size is 29 + name, plus 56 with HNSW parameters");
    fuzz_check(encoded.size() <= size && std::equal(encoded.begin(), encoded.end(), data),
               "a decoded config re-encodes to the bytes it came from");
    auto again = decode_collection_config(encoded);
    fuzz_check(again.has_value() && again->name == config->name &&
                   again->hnsw.has_value() == config->hnsw.has_value() &&
                   (!config->hnsw || same_hnsw_config(*again->hnsw, *config->hnsw)),
               "the re-encoded config decodes to the same value");
    const std::size_t cuts[] = {0, encoded.size() / 2, encoded.size() - 1};
    for (std::size_t cut : cuts) {
        const fuzz::ExactCopy prefix(data, cut);
        fuzz_check(!decode_collection_config(prefix.bytes()), "a cut config is refused");
    }
    return 0;
}
