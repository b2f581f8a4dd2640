#pragma once
// A metadata filter is a list of FilterCondition, all of which must hold. A
// condition names one top-level key of the metadata object (matched byte for
// byte; a dot has no meaning) and a list of operators, all of which must hold
// for the value under that key. The list owns its names and operands.
#include <cstdint>
#include <string>
#include <vector>

#include "json/json_value.h"

namespace tessello {

struct FilterOp {
    // Declaration order is the variant order.
    enum Kind : std::uint8_t { Eq, Ne, Gt, Gte, Lt, Lte, In, Nin };

    Kind kind;
    // Eq to Lte: the value compared with. In and Nin: an array holding the
    // list of values.
    JsonValue operand;
};

struct FilterCondition {
    std::string field;
    std::vector<FilterOp> ops;
};

}  // namespace tessello
