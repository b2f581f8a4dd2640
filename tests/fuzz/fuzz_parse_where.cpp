// A search's `where_` filter: the input is read as JSON, and any value it
// gives goes through parse_where and then matches_filter (against the value
// itself, and against each member of it as a metadata object), neither of
// which may fail; an object of plain values matches itself. The conditions
// keep the contract parse_where states: none for a value that is not an
// object; otherwise one per key in key order, a plain value becoming one
// $eq, an operator object only its recognised operators ($in / $nin only
// with a list), and no condition without one.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "json/json_reader.h"
#include "search/filter/matches_filter.h"
#include "search/filter/parse_where.h"

using namespace tessello;
using tessello::fuzz::fuzz_check;

namespace {

bool is_operator_object(const JsonValue& v) {
    if (!v.is_object()) return false;
    for (const auto& [key, operand] : v.as_object())
        if (!key.empty() && key[0] == '$') return true;
    return false;
}

void check_conditions(const JsonValue& where, const std::vector<FilterCondition>& conditions) {
    if (!where.is_object()) {
        fuzz_check(conditions.empty(), "a value that is not an object gives no condition");
        return;
    }
    const JsonObject& object = where.as_object();
    auto member = object.begin();
    for (const FilterCondition& c : conditions) {
        // Conditions follow the keys in order, skipping operator objects that named no operator.
        while (member != object.end() && member->first != c.field) {
            fuzz_check(is_operator_object(member->second), "only an operator object without operators is skipped");
            ++member;
        }
        fuzz_check(member != object.end(), "every condition names a key, in key order");
        fuzz_check(!c.ops.empty(), "a condition has at least one operator");
        if (!is_operator_object(member->second)) {
            fuzz_check(c.ops.size() == 1 && c.ops[0].kind == FilterOp::Eq &&
                           fuzz::same_json(c.ops[0].operand, member->second),
                       "a plain value is one $eq of itself");
        } else {
            for (const FilterOp& op : c.ops) {
                fuzz_check(op.kind <= FilterOp::Nin, "a known operator");
                if (op.kind == FilterOp::In || op.kind == FilterOp::Nin)
                    fuzz_check(op.operand.is_array(), "$in and $nin take a list");
            }
        }
        ++member;
    }
    while (member != object.end()) {
        fuzz_check(is_operator_object(member->second), "only an operator object without operators is skipped");
        ++member;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ExactCopy input(data, size);
    auto where = parse_json(input.text());
    if (!where) return 0;
    const std::vector<FilterCondition> conditions = parse_where(*where);
    check_conditions(*where, conditions);
    fuzz_check(matches_filter(std::span<const FilterCondition>(), *where), "no condition passes everything");
    const bool matched = matches_filter(conditions, *where);
    // A filter of plain values is met by the very object it was made from.
    if (where->is_object() && !where->as_object().empty()) {
        bool plain = true;
        for (const auto& [key, value] : where->as_object()) plain = plain && !is_operator_object(value);
        if (plain) fuzz_check(matched, "an object of plain values matches itself");
    }
    if (where->is_object())
        for (const auto& [key, value] : where->as_object()) (void)matches_filter(conditions, value);
    return 0;
}
