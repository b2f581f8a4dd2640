// The two line types of an export file: every input goes through both
// parse_export_header and parse_export_record. A refused line carries the
// reader's " at line {} column {}" position. An accepted line, written back
// with the export's own pieces (as an object and as an array of the fields
// in order), reads back to the same fields; a vector is compared by its f32
// bits, and only when every component is finite (the export writes an
// infinity as null, which no vector takes).
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "export/export_lines.h"
#include "fuzz_support.h"
#include "json/json_writer.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

namespace {

void check_error(const JsonError& e, std::size_t size) {
    fuzz_check(!e.description.empty(), "an error has a description");
    fuzz_check(e.line >= 1 && e.column <= size, "an error lies inside the text");
    const std::string suffix = " at line " + std::to_string(e.line) + " column " + std::to_string(e.column);
    fuzz_check(e.message().ends_with(suffix), "the message ends with the position");
}

// `{"a":..,"b":..}` or `[..,..]` from the values already written.
std::string compose(bool as_object, const std::vector<std::pair<const char*, std::string>>& fields) {
    std::string out(1, as_object ? '{' : '[');
    for (const auto& [name, value] : fields) {
        if (out.size() > 1) out += ',';
        if (as_object) {
            write_json_string(name, out);
            out += ':';
        }
        out += value;
    }
    out += as_object ? '}' : ']';
    return out;
}

std::string u64_text(std::uint64_t n) {
    std::string s;
    write_json_u64(n, s);
    return s;
}

std::string string_text(std::string_view v) {
    std::string s;
    write_json_string(v, s);
    return s;
}

std::string optional_text(const std::optional<std::uint64_t>& n) { return n ? u64_text(*n) : "null"; }

void check_header(const ExportHeader& h) {
    for (bool as_object : {true, false}) {
        const std::string line = compose(as_object, {{"version", u64_text(h.version)},
                                                     {"collection", string_text(h.collection)},
                                                     {"dimensions", u64_text(h.dimensions)},
                                                     {"metric", string_text(h.metric)},
                                                     {"record_count", u64_text(h.record_count)},
                                                     {"exported_at", u64_text(h.exported_at)}});
        auto back = parse_export_header(line);
        fuzz_check(back.has_value(), "a written header reads back");
        fuzz_check(back->version == h.version && back->collection == h.collection && back->dimensions == h.dimensions &&
                       back->metric == h.metric && back->record_count == h.record_count &&
                       back->exported_at == h.exported_at,
                   "a written header reads back to the same fields");
    }
}

void check_record(const ExportRecord& r) {
    for (float x : r.vector)
        if (!std::isfinite(x)) return;
    std::string vector = "[";
    for (std::size_t i = 0; i < r.vector.size(); ++i) {
        if (i > 0) vector += ',';
        write_json_f32(r.vector[i], vector);
    }
    vector += ']';
    for (bool as_object : {true, false}) {
        const std::string line = compose(as_object, {{"id", string_text(r.id)},
                                                     {"vector", vector},
                                                     {"metadata", to_json_text(r.metadata)},
                                                     {"created_at", optional_text(r.created_at)},
                                                     {"ttl", optional_text(r.ttl)}});
        auto back = parse_export_record(line);
        fuzz_check(back.has_value(), "a written record reads back");
        fuzz_check(back->id == r.id && back->created_at == r.created_at && back->ttl == r.ttl &&
                       fuzz::same_json(back->metadata, r.metadata),
                   "a written record reads back to the same fields");
        fuzz_check(back->vector.size() == r.vector.size(), "a written vector keeps its length");
        for (std::size_t i = 0; i < r.vector.size(); ++i)
            fuzz_check(std::bit_cast<std::uint32_t>(back->vector[i]) == std::bit_cast<std::uint32_t>(r.vector[i]),
                       "a written vector reads back to the same f32 values");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ExactCopy input(data, size);
    if (auto header = parse_export_header(input.text()); header)
        check_header(*header);
    else
        check_error(header.error(), size);
    if (auto record = parse_export_record(input.text()); record)
        check_record(*record);
    else
        check_error(record.error(), size);
    return 0;
}
