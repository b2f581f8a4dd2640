// The stored free list (table "freelist", key "slots"): decode_freelist on
// any bytes. Empty bytes are the empty list; otherwise a decoded list
// re-encodes to exactly the bytes it was read from (those after the last
// entry are ignored), and a cut inside them is refused. A huge count in a
// short value fails at the end of the input without reserving for it. A
// loaded list hands out each slot it names once.
#include <algorithm>
#include <cstdint>

#include "fuzz_support.h"
#include "storage/freelist.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ExactCopy input(data, size);
    auto slots = decode_freelist(input.bytes());
    if (!slots) {
        fuzz_check(slots.error().kind() == StoreError::Serialization, "a refused list is a Serialization error");
        return 0;
    }
    if (size == 0) {
        fuzz_check(slots->empty(), "empty bytes are the empty list");
        return 0;
    }
    const std::vector<std::uint8_t> encoded = encode_freelist(*slots);
    fuzz_check(encoded.size() <= size && std::equal(encoded.begin(), encoded.end(), data),
               "a decoded list re-encodes to the bytes it came from");
    // Cuts that leave at least one byte (no bytes at all are the empty list).
    const std::size_t cuts[] = {1, encoded.size() / 2, encoded.size() - 1};
    for (std::size_t cut : cuts) {
        if (cut == 0 || cut >= encoded.size()) continue;
        const fuzz::ExactCopy prefix(data, cut);
        fuzz_check(!decode_freelist(prefix.bytes()), "a cut list is refused");
    }
    // What loading builds from the list keeps each slot once, at its last
    // place: an entry stays when no later entry names the same slot.
    std::vector<std::uint64_t> kept;
    for (std::size_t i = 0; i < slots->size(); ++i)
        if (std::find(slots->begin() + std::ptrdiff_t(i) + 1, slots->end(), (*slots)[i]) == slots->end())
            kept.push_back((*slots)[i]);
    FreeList list(*slots);
    fuzz_check(list.entries() == kept, "a loaded list keeps the last copy of each slot, in list order");
    for (std::size_t i = kept.size(); i-- > 0;)
        fuzz_check(list.take_last() == kept[i], "a loaded list hands out each slot once, last first");
    fuzz_check(!list.take_last(), "a loaded list ends after its distinct slots");
    return 0;
}
