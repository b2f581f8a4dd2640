#include "search/filter/matches_filter.h"

#include <compare>
#include <optional>
#include <string_view>

#include "search/filter/json_value_eq.h"

namespace tessello {

namespace {

// The order of x against v, or nothing when the two cannot be ordered.
std::optional<std::partial_ordering> order(const JsonValue& x, const JsonValue& v) {
    if (x.is_string() && v.is_string()) {
        // std::string_view compares chars as unsigned bytes (char_traits).
        int c = std::string_view(x.as_string()).compare(v.as_string());
        return c < 0 ? std::partial_ordering::less
                     : (c > 0 ? std::partial_ordering::greater : std::partial_ordering::equivalent);
    }
    if (x.is_number() && v.is_number()) return x.number_as_f64() <=> v.number_as_f64();
    return std::nullopt;
}

bool contains(const JsonValue& list, const JsonValue& x) {
    for (const JsonValue& item : list.as_array())
        if (json_value_eq(x, item)) return true;
    return false;
}

bool holds(const FilterOp& op, const JsonValue& x) {
    switch (op.kind) {
        case FilterOp::Eq: return json_value_eq(x, op.operand);
        case FilterOp::Ne: return !json_value_eq(x, op.operand);
        case FilterOp::In: return contains(op.operand, x);
        case FilterOp::Nin: return !contains(op.operand, x);
        default: break;
    }
    auto ord = order(x, op.operand);
    if (!ord) return false;
    switch (op.kind) {
        case FilterOp::Gt: return *ord > 0;
        case FilterOp::Gte: return *ord >= 0;
        case FilterOp::Lt: return *ord < 0;
        case FilterOp::Lte: return *ord <= 0;
        default: return false;
    }
}

}  // namespace

bool matches_filter(std::span<const FilterCondition> conditions, const JsonValue& metadata) {
    if (conditions.empty()) return true;
    if (!metadata.is_object() || metadata.as_object().empty()) return false;
    const JsonObject& object = metadata.as_object();
    for (const FilterCondition& condition : conditions) {
        const JsonValue* x = object.find(condition.field);
        if (x == nullptr) return false;
        for (const FilterOp& op : condition.ops)
            if (!holds(op, *x)) return false;
    }
    return true;
}

}  // namespace tessello
