#include "search/filter/parse_where.h"

#include <optional>
#include <string_view>

namespace tessello {

namespace {

bool has_operator_key(const JsonObject& object) {
    for (const auto& [key, value] : object)
        if (!key.empty() && key[0] == '$') return true;
    return false;
}

// The operator a key names, compared byte for byte; nothing for other keys.
std::optional<FilterOp::Kind> operator_kind(std::string_view key) {
    if (key == "$eq") return FilterOp::Eq;
    if (key == "$ne") return FilterOp::Ne;
    if (key == "$gt") return FilterOp::Gt;
    if (key == "$gte") return FilterOp::Gte;
    if (key == "$lt") return FilterOp::Lt;
    if (key == "$lte") return FilterOp::Lte;
    if (key == "$in") return FilterOp::In;
    if (key == "$nin") return FilterOp::Nin;
    return std::nullopt;
}

}  // namespace

std::vector<FilterCondition> parse_where(const JsonValue& where) {
    std::vector<FilterCondition> conditions;
    if (!where.is_object()) return conditions;
    for (const auto& [field, value] : where.as_object()) {
        if (value.is_object() && has_operator_key(value.as_object())) {
            std::vector<FilterOp> ops;
            for (const auto& [key, operand] : value.as_object()) {
                auto kind = operator_kind(key);
                if (!kind) continue;
                // A list operator needs a list; any other operand makes nothing.
                if ((*kind == FilterOp::In || *kind == FilterOp::Nin) && !operand.is_array()) continue;
                ops.push_back(FilterOp{*kind, operand});
            }
            if (!ops.empty()) conditions.push_back(FilterCondition{field, std::move(ops)});
        } else {
            std::vector<FilterOp> ops;
            ops.push_back(FilterOp{FilterOp::Eq, value});
            conditions.push_back(FilterCondition{field, std::move(ops)});
        }
    }
    return conditions;
}

}  // namespace tessello
