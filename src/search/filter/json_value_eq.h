#pragma once
// JSON equality as filters use it: values of different kinds are unequal, and
// numbers are equal only with the same number kind and value (5 is not 5.0;
// floats by IEEE equality, so 0.0 equals -0.0 and NaN equals nothing).
// Strings by bytes, arrays item by item, objects key by key in key order.
#include "json/json_value.h"

namespace tessello {

bool json_value_eq(const JsonValue& a, const JsonValue& b);

}  // namespace tessello
