#pragma once
// matches_filter: whether one record's metadata passes a filter. No condition
// passes every metadata value; otherwise the metadata must be a non-empty
// object holding every condition's field, and every operator of a condition
// must hold for the value under its field.
//
// Eq/Ne/In/Nin use json_value_eq. The ordering operators hold only between two
// strings (compared as unsigned bytes, a prefix being the smaller) or between
// two numbers (both converted to the nearest f64, so u64 2^53 + 1 is not
// greater than the float 2^53); for any other pair they do not hold.
//
// Reads its arguments only: many threads may call it at once on one filter.
#include <span>

#include "json/json_value.h"
#include "search/filter/filter_condition.h"

namespace tessello {

bool matches_filter(std::span<const FilterCondition> conditions, const JsonValue& metadata);

}  // namespace tessello
