// Stored records (table "records"): decode_record_view and decode_record on
// any bytes. The encoding is canonical, so a value that decodes re-encodes to
// exactly the bytes it was read from (those after the state are ignored), and
// every shorter prefix of those bytes is refused. The owning decoder gives
// the same record as the view.
#include <cstdint>

#include "fuzz_support.h"
#include "storage/record.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ExactCopy input(data, size);
    auto view = decode_record_view(input.bytes());
    auto owned = decode_record(input.bytes());
    fuzz_check(view.has_value() == owned.has_value(), "view and owning decoders agree");
    if (!view) {
        fuzz_check(view.error().kind() == StoreError::Serialization, "a refused record is a Serialization error");
        fuzz_check(view.error().message() == owned.error().message(), "both decoders give the same error");
        return 0;
    }
    const Record record = view->to_record();
    fuzz_check(record == *owned, "view and owning decoders give the same record");
    const std::vector<std::uint8_t> encoded = encode_record(record);
    fuzz_check(encoded.size() == encoded_record_len(record), "encoded_record_len is the encoded size");
    fuzz_check(encoded.size() <= size && std::equal(encoded.begin(), encoded.end(), data),
               "a decoded record re-encodes to the bytes it came from");
    // Any shorter prefix is cut inside a field.
    const std::size_t cuts[] = {0, encoded.size() / 2, encoded.size() - 1};
    for (std::size_t cut : cuts) {
        const fuzz::ExactCopy prefix(data, cut);
        fuzz_check(!decode_record_view(prefix.bytes()), "a cut record is refused");
    }
    return 0;
}
