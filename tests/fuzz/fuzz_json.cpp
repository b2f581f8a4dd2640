// The JSON reader, parse_json, on any bytes. Accepted text: the writer's
// compact text of the value reads back to the same value (kinds included, a
// float by its bits) and is a fixed point of reading and writing. Refused
// text: a non-empty description and a position inside the text, in the
// " at line {} column {}" form the reader promises.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "json/json_reader.h"
#include "json/json_writer.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ExactCopy input(data, size);
    auto value = parse_json(input.text());
    if (!value) {
        const JsonError& e = value.error();
        fuzz_check(!e.description.empty(), "an error has a description");
        fuzz_check(e.line >= 1 && e.column <= size, "an error lies inside the text");
        const std::string suffix = " at line " + std::to_string(e.line) + " column " + std::to_string(e.column);
        fuzz_check(e.message().ends_with(suffix), "the message ends with the position");
        return 0;
    }
    const std::string written = to_json_text(*value);
    const fuzz::ExactCopy written_copy(reinterpret_cast<const std::uint8_t*>(written.data()), written.size());
    auto again = parse_json(written_copy.text());
    fuzz_check(again.has_value(), "the writer's text reads back");
    fuzz_check(fuzz::same_json(*value, *again), "the writer's text reads back to the same value");
    fuzz_check(to_json_text(*again) == written, "writing what was read back gives the same text");
    return 0;
}
