#include "json/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace tessello {

namespace {

// Lays out a finite non-zero float from its shortest round-trip digits, which
// std::to_chars gives in scientific form ("-1.2345e+03"). Plain notation is
// used for decimal exponents in [min_plain, max_plain].
void lay_out_float(std::string_view scientific, int min_plain, int max_plain, std::string& out) {
    std::size_t i = 0;
    if (scientific[0] == '-') {
        out += '-';
        i = 1;
    }
    const std::size_t e = scientific.find('e');
    char digits[32];
    int n = 0;
    for (; i < e; ++i)
        if (scientific[i] != '.') digits[n++] = scientific[i];
    while (n > 1 && digits[n - 1] == '0') --n;  // shortest digits carry no trailing zero

    int exponent = 0;
    const char* exp_first = scientific.data() + e + 1;
    if (*exp_first == '+') ++exp_first;
    std::from_chars(exp_first, scientific.data() + scientific.size(), exponent);

    std::string_view d(digits, static_cast<std::size_t>(n));
    if (exponent < min_plain || exponent > max_plain) {
        out += d[0];
        if (n > 1) {
            out += '.';
            out.append(d.substr(1));
        }
        out += 'e';
        out += exponent < 0 ? '-' : '+';
        out += std::to_string(exponent < 0 ? -exponent : exponent);
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(d);
    } else if (exponent <= n - 2) {
        out.append(d.substr(0, static_cast<std::size_t>(exponent) + 1));
        out += '.';
        out.append(d.substr(static_cast<std::size_t>(exponent) + 1));
    } else {
        out.append(d);
        out.append(static_cast<std::size_t>(exponent - n + 1), '0');
        out += ".0";
    }
}

template <class Float>
void write_float(Float x, int min_plain, int max_plain, std::string& out) {
    if (!std::isfinite(x)) {
        out += "null";
        return;
    }
    if (x == 0) {
        out += std::signbit(x) ? "-0.0" : "0.0";
        return;
    }
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    lay_out_float(std::string_view(buf, static_cast<std::size_t>(result.ptr - buf)), min_plain, max_plain, out);
}

}  // namespace

void write_json_string(std::string_view s, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.substr(run, i - run));
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out.append(s.substr(run));
    out += '"';
}

void write_json_u64(std::uint64_t n, std::string& out) {
    char buf[24];
    auto result = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, result.ptr);
}

void write_json_i64(std::int64_t n, std::string& out) {
    char buf[24];
    auto result = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, result.ptr);
}

void write_json_f32(float x, std::string& out) { write_float(x, -6, 12, out); }

void write_json_f64(double x, std::string& out) { write_float(x, -5, 15, out); }

void write_json(const JsonValue& value, std::string& out) {
    switch (value.kind()) {
        case JsonValue::Kind::Null: out += "null"; return;
        case JsonValue::Kind::Bool: out += value.as_bool() ? "true" : "false"; return;
        case JsonValue::Kind::Unsigned: write_json_u64(value.as_unsigned(), out); return;
        case JsonValue::Kind::Signed: write_json_i64(value.as_signed(), out); return;
        case JsonValue::Kind::Float: write_json_f64(value.as_float(), out); return;
        case JsonValue::Kind::String: write_json_string(value.as_string(), out); return;
        case JsonValue::Kind::Array: {
            out += '[';
            bool first = true;
            for (const JsonValue& item : value.as_array()) {
                if (!first) out += ',';
                first = false;
                write_json(item, out);
            }
            out += ']';
            return;
        }
        case JsonValue::Kind::Object: {
            out += '{';
            bool first = true;
            for (const auto& [key, member] : value.as_object()) {
                if (!first) out += ',';
                first = false;
                write_json_string(key, out);
                out += ':';
                write_json(member, out);
            }
            out += '}';
            return;
        }
    }
}

std::string to_json_text(const JsonValue& value) {
    std::string out;
    out.reserve(128);
    write_json(value, out);
    return out;
}

}  // namespace tessello
