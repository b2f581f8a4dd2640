#include "json/json_reader.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "base/utf8.h"

namespace tessello {

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// For a non-zero float literal that from_chars found out of f64's range:
// whether it lies above the range (rather than below it). Only the decimal
// exponent of its first significant digit matters, and that is far from 0.
bool literal_overflows(std::string_view lit) {
    std::size_t i = lit[0] == '-' ? 1 : 0;
    std::size_t j = i;
    while (j < lit.size() && is_digit(lit[j])) ++j;
    std::int64_t lead;  // decimal exponent of the first significant digit
    if (lit[i] != '0') {
        lead = static_cast<std::int64_t>(j - i) - 1;
    } else {
        std::size_t k = j + 1;  // a zero integer part of a non-zero value has a fraction
        while (k < lit.size() && lit[k] == '0') ++k;
        lead = -static_cast<std::int64_t>(k - j);
    }
    std::int64_t exponent = 0;
    std::size_t e = lit.find_first_of("eE");
    if (e != std::string_view::npos) {
        bool negative = lit[e + 1] == '-';
        for (std::size_t k = e + 1; k < lit.size(); ++k) {
            if (!is_digit(lit[k])) continue;
            // Saturate: beyond this any exponent decides the same way.
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (lit[k] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return lead + exponent > 0;
}

}  // namespace

JsonResult<JsonValue> parse_json(std::string_view text) {
    JsonReader reader(text);
    auto value = reader.read_value();
    if (!value) return value;
    if (auto end = reader.read_end(); !end) return std::unexpected(std::move(end.error()));
    return value;
}

std::optional<unsigned char> JsonReader::peek() {
    while (pos_ < text_.size()) {
        unsigned char c = static_cast<unsigned char>(text_[pos_]);
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
        ++pos_;
    }
    return std::nullopt;
}

JsonError JsonReader::error_at(std::size_t index, std::string description) const {
    // The position is worked out only when an error is made, so reading keeps
    // no line count of its own.
    std::string_view before = text_.substr(0, index);
    std::size_t line_start = before.rfind('\n');
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    JsonError error;
    error.description = std::move(description);
    error.line = 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
    error.column = index - line_start;
    return error;
}

JsonError JsonReader::error_here(std::string description) const {
    return error_at(pos_, std::move(description));
}

JsonError JsonReader::error_at_next(std::string description) const {
    return error_at(std::min(text_.size(), pos_ + 1), std::move(description));
}

JsonResult<JsonValue> JsonReader::read_value() {
    auto next = peek();
    if (!next) return std::unexpected(error_at_next("EOF while parsing a value"));
    switch (*next) {
        case 'n':
            advance();
            if (auto r = read_literal("ull"); !r) return std::unexpected(std::move(r.error()));
            return JsonValue();
        case 't':
            advance();
            if (auto r = read_literal("rue"); !r) return std::unexpected(std::move(r.error()));
            return JsonValue::boolean(true);
        case 'f':
            advance();
            if (auto r = read_literal("alse"); !r) return std::unexpected(std::move(r.error()));
            return JsonValue::boolean(false);
        case '"': {
            auto s = read_string();
            if (!s) return std::unexpected(std::move(s.error()));
            return JsonValue::string(std::move(*s));
        }
        case '[':
            return read_array();
        case '{':
            return read_object();
        default:
            if (*next == '-' || is_digit(*next)) return read_number();
            return std::unexpected(error_at_next("expected value"));
    }
}

JsonResult<void> JsonReader::read_end() {
    if (peek()) return std::unexpected(error_at_next("trailing characters"));
    return {};
}

JsonResult<void> JsonReader::read_literal(std::string_view rest) {
    for (char expected : rest) {
        if (pos_ == text_.size()) return std::unexpected(error_here("EOF while parsing a value"));
        if (text_[pos_++] != expected) return std::unexpected(error_here("expected ident"));
    }
    return {};
}

JsonResult<std::string> JsonReader::read_string() {
    assert(pos_ < text_.size() && text_[pos_] == '"');
    advance();  // the opening quote
    std::string out;
    std::size_t run = pos_;  // start of the bytes not yet copied to out
    while (true) {
        while (pos_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++pos_;
        }
        if (pos_ == text_.size()) return std::unexpected(error_here("EOF while parsing a string"));
        unsigned char c = static_cast<unsigned char>(text_[pos_]);
        out.append(text_.substr(run, pos_ - run));
        ++pos_;
        if (c == '"') break;
        if (c != '\\')
            return std::unexpected(
                error_here("control character (\\u0000-\\u001F) found while parsing a string"));
        if (auto r = read_escape(out); !r) return std::unexpected(std::move(r.error()));
        run = pos_;
    }
    // Escapes only ever add well-formed UTF-8; the raw bytes are checked here.
    if (utf8_error(out)) return std::unexpected(error_here("invalid unicode code point"));
    return out;
}

JsonResult<unsigned> JsonReader::read_hex4() {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return std::unexpected(error_here("EOF while parsing a string"));
    }
    unsigned n = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        int v = hex_value(static_cast<unsigned char>(text_[pos_ + i]));
        if (v < 0) ok = false;
        n = (n << 4) | static_cast<unsigned>(v < 0 ? 0 : v);
    }
    pos_ += 4;
    if (!ok) return std::unexpected(error_here("invalid escape"));
    return n;
}

JsonResult<void> JsonReader::read_escape(std::string& out) {
    if (pos_ == text_.size()) return std::unexpected(error_here("EOF while parsing a string"));
    switch (text_[pos_++]) {
        case '"': out += '"'; return {};
        case '\\': out += '\\'; return {};
        case '/': out += '/'; return {};
        case 'b': out += '\b'; return {};
        case 'f': out += '\f'; return {};
        case 'n': out += '\n'; return {};
        case 'r': out += '\r'; return {};
        case 't': out += '\t'; return {};
        case 'u': break;
        default: return std::unexpected(error_here("invalid escape"));
    }
    auto first = read_hex4();
    if (!first) return std::unexpected(std::move(first.error()));
    unsigned n = *first;
    if (n >= 0xDC00 && n <= 0xDFFF)
        return std::unexpected(error_here("lone leading surrogate in hex escape"));
    if (n < 0xD800 || n > 0xDBFF) {
        append_utf8(n, out);
        return {};
    }
    // A leading surrogate must be followed at once by an escaped trailing one.
    for (char expected : {'\\', 'u'}) {
        if (pos_ == text_.size()) return std::unexpected(error_here("EOF while parsing a string"));
        if (text_[pos_++] != expected) return std::unexpected(error_here("unexpected end of hex escape"));
    }
    auto second = read_hex4();
    if (!second) return std::unexpected(std::move(second.error()));
    if (*second < 0xDC00 || *second > 0xDFFF)
        return std::unexpected(error_here("lone leading surrogate in hex escape"));
    append_utf8(0x10000 + ((n - 0xD800) << 10) + (*second - 0xDC00), out);
    return {};
}

JsonResult<JsonValue> JsonReader::read_number() {
    assert(pos_ < text_.size());
    const std::size_t start = pos_;
    const std::size_t size = text_.size();
    auto digit_next = [&] { return pos_ < size && is_digit(static_cast<unsigned char>(text_[pos_])); };
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;

    if (pos_ == size) return std::unexpected(error_here("EOF while parsing a value"));
    unsigned char lead = static_cast<unsigned char>(text_[pos_++]);
    if (lead == '0') {
        if (digit_next()) return std::unexpected(error_at_next("invalid number"));
    } else if (is_digit(lead)) {
        while (digit_next()) ++pos_;
    } else {
        return std::unexpected(error_here("invalid number"));
    }

    bool is_float = false;
    if (pos_ < size && text_[pos_] == '.') {
        ++pos_;
        if (!digit_next()) {
            return std::unexpected(
                error_at_next(pos_ < size ? "invalid number" : "EOF while parsing a value"));
        }
        while (digit_next()) ++pos_;
        is_float = true;
    }
    if (pos_ < size && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < size && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
        if (pos_ == size) return std::unexpected(error_here("EOF while parsing a value"));
        if (!is_digit(static_cast<unsigned char>(text_[pos_++])))
            return std::unexpected(error_here("invalid number"));
        while (digit_next()) ++pos_;
        is_float = true;
    }

    std::string_view literal = text_.substr(start, pos_ - start);
    const char* first = literal.data();
    const char* last = first + literal.size();
    if (!is_float) {
        if (!negative) {
            std::uint64_t n = 0;
            if (std::from_chars(first, last, n).ec == std::errc{}) return JsonValue::unsigned_int(n);
        } else {
            std::int64_t n = 0;
            // "-0" is no negative integer: it is the float -0.0.
            if (std::from_chars(first, last, n).ec == std::errc{} && n != 0) return JsonValue::signed_int(n);
        }
    }
    return read_float(literal);
}

JsonResult<JsonValue> JsonReader::read_float(std::string_view literal) {
    double x = 0.0;
    auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), x);
    if (ec == std::errc{} && end == literal.data() + literal.size() && std::isfinite(x))
        return JsonValue::floating(x);
    if (ec == std::errc::result_out_of_range && !literal_overflows(literal))
        return JsonValue::floating(literal[0] == '-' ? -0.0 : 0.0);
    return std::unexpected(error_here("number out of range"));
}

JsonResult<void> JsonReader::enter_nested() {
    if (depth_ + 1 >= kNestingLimit) return std::unexpected(error_at_next("recursion limit exceeded"));
    ++depth_;
    return {};
}

JsonResult<bool> JsonReader::next_item(bool& first) {
    auto next = peek();
    if (!next) return std::unexpected(error_at_next("EOF while parsing a list"));
    if (*next == ']') return false;
    if (!first) {
        if (*next != ',') return std::unexpected(error_at_next("expected `,` or `]`"));
        advance();
        next = peek();
        if (!next) return std::unexpected(error_at_next("EOF while parsing a value"));
        if (*next == ']') return std::unexpected(error_at_next("trailing comma"));
    }
    first = false;
    return true;
}

JsonResult<void> JsonReader::end_array() {
    auto next = peek();
    if (!next) return std::unexpected(error_at_next("EOF while parsing a list"));
    if (*next == ']') {
        advance();
        return {};
    }
    if (*next == ',') {
        advance();
        auto after = peek();
        return std::unexpected(
            error_at_next(after && *after == ']' ? "trailing comma" : "trailing characters"));
    }
    return std::unexpected(error_at_next("trailing characters"));
}

JsonResult<std::optional<std::string>> JsonReader::next_key(bool& first) {
    auto next = peek();
    if (!next) return std::unexpected(error_at_next("EOF while parsing an object"));
    if (*next == '}') return std::optional<std::string>();
    if (!first) {
        if (*next != ',') return std::unexpected(error_at_next("expected `,` or `}`"));
        advance();
        next = peek();
        if (!next) return std::unexpected(error_at_next("EOF while parsing a value"));
        if (*next == '}') return std::unexpected(error_at_next("trailing comma"));
    }
    first = false;
    if (*next != '"') return std::unexpected(error_at_next("key must be a string"));
    auto key = read_string();
    if (!key) return std::unexpected(std::move(key.error()));
    return std::optional<std::string>(std::move(*key));
}

JsonResult<void> JsonReader::read_colon() {
    auto next = peek();
    if (!next) return std::unexpected(error_at_next("EOF while parsing an object"));
    if (*next != ':') return std::unexpected(error_at_next("expected `:`"));
    advance();
    return {};
}

JsonResult<void> JsonReader::end_object() {
    auto next = peek();
    if (!next) return std::unexpected(error_at_next("EOF while parsing an object"));
    if (*next == '}') {
        advance();
        return {};
    }
    return std::unexpected(error_at_next(*next == ',' ? "trailing comma" : "trailing characters"));
}

JsonResult<JsonValue> JsonReader::read_array() {
    if (auto r = enter_nested(); !r) return std::unexpected(std::move(r.error()));
    advance();  // '['
    JsonValue::Array items;
    bool first = true;
    while (true) {
        auto more = next_item(first);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        auto item = read_value();
        if (!item) return std::unexpected(std::move(item.error()));
        items.push_back(std::move(*item));
    }
    if (auto r = end_array(); !r) return std::unexpected(std::move(r.error()));
    leave_nested();
    return JsonValue::array(std::move(items));
}

JsonResult<JsonValue> JsonReader::read_object() {
    if (auto r = enter_nested(); !r) return std::unexpected(std::move(r.error()));
    advance();  // '{'
    std::vector<JsonObject::Member> members;
    bool first = true;
    while (true) {
        auto key = next_key(first);
        if (!key) return std::unexpected(std::move(key.error()));
        if (!*key) break;
        if (auto r = read_colon(); !r) return std::unexpected(std::move(r.error()));
        auto value = read_value();
        if (!value) return std::unexpected(std::move(value.error()));
        members.emplace_back(std::move(**key), std::move(*value));
    }
    if (auto r = end_object(); !r) return std::unexpected(std::move(r.error()));
    leave_nested();
    return JsonValue::object(JsonObject::from_members(std::move(members)));
}

}  // namespace tessello
