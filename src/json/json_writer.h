#pragma once
// The compact JSON writer: no white space, object keys in byte order (as
// JsonObject keeps them), and one fixed text for every value, so that equal
// values always give equal text.
//
// - Strings: '"' and '\' are escaped with a backslash, the bytes 0x08, 0x09,
//   0x0A, 0x0C and 0x0D as \b \t \n \f \r, every other byte below 0x20 as
//   \u00xx (lower-case hex); every other byte, '/' and 0x7F and non-ASCII
//   included, is written as it is.
// - Integers in plain decimal.
// - Floats (f32 vector components and f64 numbers) as the shortest digits
//   that read back to the same value, laid out in plain notation when the
//   decimal exponent E of the first digit lies in [-6, 12] for f32 and
//   [-5, 15] for f64 ("0.000123", "1234.5", "100.0"), otherwise as "1.5e-7" /
//   "1e+13"; zeros as "0.0" / "-0.0"; NaN and infinities as null.
//
// Writing cannot fail. The writers append to `out`; write_json recurses once
// per level of nesting, as deep as the value (the reader's values nest at most
// 127 deep).
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "json/json_value.h"

namespace tessello {

void write_json(const JsonValue& value, std::string& out);
// The compact text of value.
std::string to_json_text(const JsonValue& value);

// A value's compact text, as write_json writes it. A JsonValue stands for its
// text wherever a JsonText is wanted; text made elsewhere must be exactly what
// write_json would write for the value it reads as.
struct JsonText {
    JsonText(const JsonValue& value) : text(to_json_text(value)) {}  // NOLINT: implicit by design
    explicit JsonText(std::string compact) : text(std::move(compact)) {}
    std::string text;
};

// The pieces, for writers of records whose keys follow a fixed order.
void write_json_string(std::string_view s, std::string& out);
void write_json_u64(std::uint64_t n, std::string& out);
void write_json_i64(std::int64_t n, std::string& out);
void write_json_f32(float x, std::string& out);
void write_json_f64(double x, std::string& out);

}  // namespace tessello
