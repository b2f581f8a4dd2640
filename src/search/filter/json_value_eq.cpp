#include "search/filter/json_value_eq.h"

#include <algorithm>

namespace tessello {

bool json_value_eq(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case JsonValue::Kind::Null: return true;
        case JsonValue::Kind::Bool: return a.as_bool() == b.as_bool();
        case JsonValue::Kind::Unsigned: return a.as_unsigned() == b.as_unsigned();
        case JsonValue::Kind::Signed: return a.as_signed() == b.as_signed();
        case JsonValue::Kind::Float: return a.as_float() == b.as_float();
        case JsonValue::Kind::String: return a.as_string() == b.as_string();
        case JsonValue::Kind::Array:
            return std::ranges::equal(a.as_array(), b.as_array(), json_value_eq);
        case JsonValue::Kind::Object:
            return std::ranges::equal(a.as_object(), b.as_object(), [](const auto& x, const auto& y) {
                return x.first == y.first && json_value_eq(x.second, y.second);
            });
    }
    return false;
}

}  // namespace tessello
