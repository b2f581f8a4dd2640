#include "export/export_lines.h"

#include <array>
#include <cstdio>
#include <functional>
#include <limits>

#include "json/json_reader.h"
#include "json/json_writer.h"

namespace tessello {

namespace {

using Fail = std::unexpected<JsonError>;

// How a found value is named in "invalid type" messages.
std::string debug_string(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string float_text(double x) {
    std::string out;
    write_json_f64(x, out);
    // The shortest form, with no sign before a positive exponent.
    if (auto e = out.find("e+"); e != std::string::npos) out.erase(e + 1, 1);
    return out;
}

std::string describe_number(const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::Unsigned: return "integer `" + std::to_string(v.as_unsigned()) + "`";
        case JsonValue::Kind::Signed: return "integer `" + std::to_string(v.as_signed()) + "`";
        default: return "floating point `" + float_text(v.as_float()) + "`";
    }
}

std::string invalid_type(const std::string& found, std::string_view expected) {
    return "invalid type: " + found + ", expected " + std::string(expected);
}

// A value of the wrong kind where `expected` was wanted: scalars are read
// whole and the fault is placed after them; containers are named at their
// opening bracket without being read.
Fail wrong_kind(JsonReader& in, std::string_view expected) {
    auto next = in.peek();
    if (!next) return Fail(in.error_at_next("EOF while parsing a value"));
    if (*next == '[') return Fail(in.error_here(invalid_type("sequence", expected)));
    if (*next == '{') return Fail(in.error_here(invalid_type("map", expected)));
    if (*next == 'n' || *next == 't' || *next == 'f' || *next == '"' || *next == '-' ||
        (*next >= '0' && *next <= '9')) {
        auto value = in.read_value();
        if (!value) return Fail(std::move(value.error()));
        std::string found;
        if (value->is_null())
            found = "null";
        else if (value->kind() == JsonValue::Kind::Bool)
            found = value->as_bool() ? "boolean `true`" : "boolean `false`";
        else if (value->is_string())
            found = "string " + debug_string(value->as_string());
        else
            found = describe_number(*value);
        return Fail(in.error_here(invalid_type(found, expected)));
    }
    return Fail(in.error_at_next("expected value"));
}

bool starts_number(std::optional<unsigned char> c) { return c && (*c == '-' || (*c >= '0' && *c <= '9')); }

JsonResult<std::uint64_t> read_unsigned(JsonReader& in, std::uint64_t max, std::string_view name) {
    if (!starts_number(in.peek())) return wrong_kind(in, name);
    auto n = in.read_number();
    if (!n) return Fail(std::move(n.error()));
    if (n->kind() == JsonValue::Kind::Float)
        return Fail(in.error_here(invalid_type(describe_number(*n), name)));
    if (n->kind() == JsonValue::Kind::Signed || n->as_unsigned() > max)
        return Fail(in.error_here("invalid value: " + describe_number(*n) + ", expected " + std::string(name)));
    return n->as_unsigned();
}

JsonResult<std::uint64_t> read_u64(JsonReader& in) {
    return read_unsigned(in, std::numeric_limits<std::uint64_t>::max(), "u64");
}

JsonResult<std::optional<std::uint64_t>> read_optional_u64(JsonReader& in) {
    if (auto next = in.peek(); next && *next == 'n') {
        auto v = in.read_value();
        if (!v) return Fail(std::move(v.error()));
        if (v->is_null()) return std::optional<std::uint64_t>{};
    }
    auto n = read_u64(in);
    if (!n) return Fail(std::move(n.error()));
    return std::optional<std::uint64_t>(*n);
}

JsonResult<std::string> read_string_field(JsonReader& in) {
    if (auto next = in.peek(); !next || *next != '"') return wrong_kind(in, "a string");
    return in.read_string();
}

JsonResult<std::vector<float>> read_floats(JsonReader& in) {
    if (auto next = in.peek(); !next || *next != '[') return wrong_kind(in, "a sequence");
    if (auto r = in.enter_nested(); !r) return Fail(std::move(r.error()));
    in.advance();
    std::vector<float> out;
    bool first = true;
    for (;;) {
        auto more = in.next_item(first);
        if (!more) return Fail(std::move(more.error()));
        if (!*more) break;
        if (!starts_number(in.peek())) return wrong_kind(in, "f32");
        auto n = in.read_number();
        if (!n) return Fail(std::move(n.error()));
        out.push_back(static_cast<float>(n->number_as_f64()));
    }
    if (auto r = in.end_array(); !r) return Fail(std::move(r.error()));
    in.leave_nested();
    return out;
}

// One field of a line type: its name and how to read its value into the result.
template <class T>
struct Field {
    const char* name;
    std::function<JsonResult<void>(JsonReader&, T&)> read;
    bool optional;
};

template <class T, std::size_t N>
JsonResult<T> read_struct(std::string_view text, const char* struct_name, const std::array<Field<T>, N>& fields) {
    JsonReader in(text);
    const std::string expected_struct = std::string("struct ") + struct_name;
    T out{};
    auto next = in.peek();
    if (!next || (*next != '{' && *next != '[')) return wrong_kind(in, expected_struct);
    if (auto r = in.enter_nested(); !r) return Fail(std::move(r.error()));
    in.advance();
    bool first = true;
    if (*next == '[') {
        for (std::size_t i = 0; i < N; ++i) {
            auto more = in.next_item(first);
            if (!more) return Fail(std::move(more.error()));
            if (!*more) {
                // Too few values: the fault is placed after the closing bracket.
                if (auto r = in.end_array(); !r) return Fail(std::move(r.error()));
                return Fail(in.error_here("invalid length " + std::to_string(i) + ", expected " + expected_struct +
                                          " with " + std::to_string(N) + " elements"));
            }
            if (auto r = fields[i].read(in, out); !r) return Fail(std::move(r.error()));
        }
        if (auto r = in.end_array(); !r) return Fail(std::move(r.error()));
    } else {
        std::array<bool, N> seen{};
        for (;;) {
            auto key = in.next_key(first);
            if (!key) return Fail(std::move(key.error()));
            if (!*key) break;
            std::size_t i = 0;
            while (i < N && **key != fields[i].name) ++i;
            if (i < N && seen[i]) {
                in.peek();
                return Fail(in.error_here(std::string("duplicate field `") + fields[i].name + "`"));
            }
            if (auto r = in.read_colon(); !r) return Fail(std::move(r.error()));
            if (i == N) {
                // Keys of no field are read and dropped.
                if (auto v = in.read_value(); !v) return Fail(std::move(v.error()));
                continue;
            }
            seen[i] = true;
            if (auto r = fields[i].read(in, out); !r) return Fail(std::move(r.error()));
        }
        if (auto r = in.end_object(); !r) return Fail(std::move(r.error()));
        for (std::size_t i = 0; i < N; ++i)
            if (!seen[i] && !fields[i].optional)
                return Fail(in.error_here(std::string("missing field `") + fields[i].name + "`"));
    }
    in.leave_nested();
    if (auto r = in.read_end(); !r) return Fail(std::move(r.error()));
    return out;
}

template <class T, class V>
JsonResult<void> assign(JsonResult<V> value, T& target) {
    if (!value) return Fail(std::move(value.error()));
    target = std::move(*value);
    return {};
}

}  // namespace

JsonResult<ExportHeader> parse_export_header(std::string_view text) {
    using H = ExportHeader;
    static const std::array<Field<H>, 6> fields = {{
        {"version",
         [](JsonReader& in, H& h) {
             auto v = read_unsigned(in, std::numeric_limits<std::uint32_t>::max(), "u32");
             if (!v) return JsonResult<void>(Fail(std::move(v.error())));
             h.version = static_cast<std::uint32_t>(*v);
             return JsonResult<void>();
         },
         false},
        {"collection", [](JsonReader& in, H& h) { return assign(read_string_field(in), h.collection); }, false},
        {"dimensions", [](JsonReader& in, H& h) { return assign(read_u64(in), h.dimensions); }, false},
        {"metric", [](JsonReader& in, H& h) { return assign(read_string_field(in), h.metric); }, false},
        {"record_count", [](JsonReader& in, H& h) { return assign(read_u64(in), h.record_count); }, false},
        {"exported_at", [](JsonReader& in, H& h) { return assign(read_u64(in), h.exported_at); }, false},
    }};
    return read_struct(text, "ExportHeader", fields);
}

JsonResult<ExportRecord> parse_export_record(std::string_view text) {
    using R = ExportRecord;
    static const std::array<Field<R>, 5> fields = {{
        {"id", [](JsonReader& in, R& r) { return assign(read_string_field(in), r.id); }, false},
        {"vector", [](JsonReader& in, R& r) { return assign(read_floats(in), r.vector); }, false},
        {"metadata", [](JsonReader& in, R& r) { return assign(in.read_value(), r.metadata); }, false},
        {"created_at", [](JsonReader& in, R& r) { return assign(read_optional_u64(in), r.created_at); }, true},
        {"ttl", [](JsonReader& in, R& r) { return assign(read_optional_u64(in), r.ttl); }, true},
    }};
    return read_struct(text, "ExportRecord", fields);
}

}  // namespace tessello
