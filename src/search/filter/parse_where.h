#pragma once
// parse_where: turns a search's `where_` value into filter conditions, one per
// key of the object, in key order.
//
// A value that is an object with at least one key starting with '$' is in
// operator form: each recognised key ($eq $ne $gt $gte $lt $lte with any
// operand; $in $nin with an array operand) makes one operator, in key order;
// every other key is ignored, and a field whose keys make no operator is not
// constrained at all. Any other value (an empty object, an object without '$'
// keys included) must be equalled. A `where_` that is not an object, or is
// empty, gives no condition. Nothing here fails.
#include <vector>

#include "json/json_value.h"
#include "search/filter/filter_condition.h"

namespace tessello {

std::vector<FilterCondition> parse_where(const JsonValue& where);

}  // namespace tessello
