#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "search/filter/json_value_eq.h"
#include "search/filter/matches_filter.h"
#include "search/filter/parse_where.h"

namespace tessello {
namespace {

JsonValue json(std::string_view text) {
    auto value = parse_json(text);
    EXPECT_TRUE(value) << text << ": " << value.error().message();
    return value ? std::move(*value) : JsonValue();
}

bool matches(std::string_view where, std::string_view metadata) {
    auto conditions = parse_where(json(where));
    return matches_filter(conditions, json(metadata));
}

// The filters as Python gives them (written here as JSON), the metadata of one
// record, and whether the record passes.
TEST(FilterMatches, EdgeCases) {
    struct Case {
        std::string_view where;
        std::string_view metadata;
        bool expected;
    };
    const Case cases[] = {
        // An empty filter passes everything, also metadata that is no object.
        {"{}", "{}", true},
        {"{}", "{\"a\":1}", true},
        {"{}", "[1,2]", true},
        {"{}", "null", true},
        // Equality form: kind and value must both match.
        {R"({"a":1})", R"({"a":1,"b":2})", true},
        {R"({"a":1})", R"({"a":1.0})", false},
        {R"({"a":1})", R"({"a":"1"})", false},
        {R"({"a":1})", R"({"b":1})", false},
        {R"({"a":1})", "{}", false},
        {R"({"a":1})", "[{\"a\":1}]", false},
        {R"({"a":1})", "\"a\"", false},
        {R"({"a":1})", "null", false},
        {R"({"a":-1})", R"({"a":-1})", true},
        {R"({"a":0.0})", R"({"a":-0.0})", true},
        {R"({"a":null})", R"({"a":null})", true},
        {R"({"a":true})", R"({"a":1})", false},
        {R"({"a":[1,"x"]})", R"({"a":[1,"x"]})", true},
        {R"({"a":[1,"x"]})", R"({"a":["x",1]})", false},
        // Missing fields fail every operator, $ne and $nin included.
        {R"({"a":{"$ne":1}})", R"({"b":1})", false},
        {R"({"a":{"$nin":[1]}})", R"({"b":1})", false},
        {R"({"a":{"$ne":1}})", R"({"a":2})", true},
        {R"({"a":{"$ne":1}})", R"({"a":1.0})", true},
        {R"({"a":{"$ne":1}})", R"({"a":1})", false},
        // Ordering between numbers of any kind, and between strings only.
        {R"({"a":{"$gt":5}})", R"({"a":7})", true},
        {R"({"a":{"$gt":5}})", R"({"a":5.5})", true},
        {R"({"a":{"$gt":5}})", R"({"a":5})", false},
        {R"({"a":{"$gt":5}})", R"({"a":"7"})", false},
        {R"({"a":{"$gt":5}})", R"({"a":null})", false},
        {R"({"a":{"$gt":-5}})", R"({"a":-4})", true},
        {R"({"a":{"$gte":5}})", R"({"a":5.0})", true},
        {R"({"a":{"$gte":5}})", R"({"a":4.999})", false},
        {R"({"a":{"$lte":5}})", R"({"a":5})", true},
        {R"({"a":{"$lt":5}})", R"({"a":5})", false},
        {R"({"a":{"$lt":true}})", R"({"a":false})", false},
        {R"({"a":{"$lt":[2]}})", R"({"a":[1]})", false},
        {R"({"a":{"$lt":"b"}})", R"({"a":"apple"})", true},
        {R"({"a":{"$lt":"b"}})", R"({"a":"B"})", true},
        {R"({"a":{"$lt":"b"}})", R"({"a":"banana"})", false},
        {R"({"a":{"$lt":"b"}})", R"({"a":"b"})", false},
        {R"({"a":{"$lte":"b"}})", R"({"a":"b"})", true},
        // Bytes compare unsigned: a non-ASCII letter sorts after 'z'.
        {R"({"a":{"$gt":"z"}})", R"({"a":"\u00e9"})", true},
        // 2^53 + 1 and the float 2^53 become the same f64.
        {R"({"a":{"$gt":9007199254740992.0}})", R"({"a":9007199254740993})", false},
        {R"({"a":{"$gte":9007199254740992.0}})", R"({"a":9007199254740993})", true},
        // Several operators must all hold.
        {R"({"a":{"$gt":1,"$lt":5}})", R"({"a":3})", true},
        {R"({"a":{"$gt":1,"$lt":5}})", R"({"a":5})", false},
        {R"({"a":{"$gt":1,"$lt":5}})", R"({"a":1})", false},
        // Several conditions must all hold.
        {R"({"a":1,"b":{"$in":["x","y"]}})", R"({"a":1,"b":"y"})", true},
        {R"({"a":1,"b":{"$in":["x","y"]}})", R"({"a":2,"b":"y"})", false},
        // Lists.
        {R"({"a":{"$in":[1,"x"]}})", R"({"a":1})", true},
        {R"({"a":{"$in":[1,"x"]}})", R"({"a":"x"})", true},
        {R"({"a":{"$in":[1,"x"]}})", R"({"a":1.0})", false},
        {R"({"a":{"$in":[]}})", R"({"a":1})", false},
        {R"({"a":{"$nin":[]}})", R"({"a":1})", true},
        {R"({"a":{"$nin":[]}})", R"({"b":1})", false},
        {R"({"a":{"$nin":[1,2]}})", R"({"a":3})", true},
        {R"({"a":{"$nin":[1,2]}})", R"({"a":2})", false},
        // No recognised operator: the field is not constrained at all.
        {R"({"a":{"$in":5}})", R"({"b":1})", true},
        {R"({"a":{"$foo":1}})", R"({"b":1})", true},
        {R"({"a":{"$gt2":1}})", R"({"b":1})", true},
        {R"({"a":{"$GT":1}})", R"({"a":0})", true},
        {R"({"a":{"$in":5}})", "[]", true},
        // Operator form ignores its other keys.
        {R"({"a":{"$eq":1,"b":2}})", R"({"a":1})", true},
        {R"({"a":{"$eq":1,"b":2}})", R"({"a":{"$eq":1,"b":2}})", false},
        // Objects without '$' keys, and empty ones, must be equalled.
        {R"({"a":{"b":1}})", R"({"a":{"b":1}})", true},
        {R"({"a":{"b":1}})", R"({"a":{"b":1,"c":2}})", false},
        {R"({"a":{"b":1}})", R"({"a":{"b":1.0}})", false},
        {R"({"a":{}})", R"({"a":{}})", true},
        {R"({"a":{}})", R"({"a":{"b":1}})", false},
        // A dot is part of the key.
        {R"({"a.b":1})", R"({"a":{"b":1}})", false},
        {R"({"a.b":1})", R"({"a.b":1})", true},
        // A filter with a condition fails an empty object.
        {R"({"a":{"$nin":[1]}})", "{}", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matches(c.where, c.metadata), c.expected) << "where " << c.where << " metadata " << c.metadata;
}

std::string describe(const std::vector<FilterCondition>& conditions) {
    static constexpr std::string_view kNames[] = {"Eq", "Ne", "Gt", "Gte", "Lt", "Lte", "In", "Nin"};
    std::string out;
    for (const FilterCondition& c : conditions) {
        out += c.field + ":";
        for (const FilterOp& op : c.ops) out += std::string(kNames[op.kind]) + "(" + to_json_text(op.operand) + ")";
        out += ";";
    }
    return out;
}

TEST(FilterParseWhere, ConditionsInKeyOrderWithOperatorsInKeyOrder) {
    struct Case {
        std::string_view where;
        std::string_view conditions;
    };
    const Case cases[] = {
        {"{}", ""},
        {"[1]", ""},
        {"null", ""},
        {"5", ""},
        {R"({"b":1,"a":"x"})", R"(a:Eq("x");b:Eq(1);)"},
        {R"({"a":{"$lt":5,"$gt":1,"$eq":2,"$ne":3,"$gte":0,"$lte":9,"$in":[1],"$nin":[]}})",
         "a:Eq(2)Gt(1)Gte(0)In([1])Lt(5)Lte(9)Ne(3)Nin([]);"},
        {R"({"a":{"$eq":{"$gt":1}}})", R"(a:Eq({"$gt":1});)"},
        {R"({"a":{"$in":"xy","$eq":1}})", "a:Eq(1);"},
        {R"({"a":{"$nin":{"x":1}},"b":2})", "b:Eq(2);"},
        {R"({"a":{"x":1},"b":{},"c":null,"d":[]})", R"(a:Eq({"x":1});b:Eq({});c:Eq(null);d:Eq([]);)"},
        {R"({"a":{"$":1}})", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(parse_where(json(c.where))), c.conditions) << c.where;
    EXPECT_EQ(FilterOp::Eq, 0);
    EXPECT_EQ(FilterOp::Nin, 7);
}

TEST(FilterJsonValueEq, SameKindAndValue) {
    struct Case {
        std::string_view a;
        std::string_view b;
        bool equal;
    };
    const Case cases[] = {
        {"null", "null", true},
        {"null", "false", false},
        {"true", "true", true},
        {"true", "false", false},
        {"5", "5", true},
        {"5", "5.0", false},
        {"-5", "-5", true},
        {"-5", "-5.0", false},
        {"18446744073709551615", "18446744073709551615", true},
        {"18446744073709551616", "18446744073709551616", true},  // both floats
        {"0.0", "-0.0", true},
        {"-0", "0", false},
        {"1.5", "1.5", true},
        {"\"a\"", "\"a\"", true},
        {"\"a\"", "\"A\"", false},
        {"\"\\u00e9\"", "\"\xC3\xA9\"", true},
        {"[]", "[]", true},
        {"[1,2]", "[1,2]", true},
        {"[1,2]", "[1]", false},
        {"[1,[2]]", "[1,[2.0]]", false},
        {"{}", "{}", true},
        {"{}", "[]", false},
        {R"({"a":1,"b":[2]})", R"({"b":[2],"a":1})", true},
        {R"({"a":1})", R"({"a":1,"b":2})", false},
        {R"({"a":1})", R"({"b":1})", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_value_eq(json(c.a), json(c.b)), c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(json_value_eq(json(c.b), json(c.a)), c.equal) << c.b << " vs " << c.a;
    }
}

// A filter is parsed once and shared read-only by every scan thread.
TEST(FilterMatches, SharedFilterFromManyThreads) {
    const auto conditions = parse_where(json(R"({"n":{"$gte":100,"$lt":200},"tag":{"$in":["x","y"]}})"));
    std::vector<JsonValue> records;
    for (int i = 0; i < 300; ++i)
        records.push_back(json("{\"n\":" + std::to_string(i) + ",\"tag\":\"" + (i % 3 == 0 ? "z" : "x") + "\"}"));
    int expected = 0;
    for (int i = 100; i < 200; ++i) expected += i % 3 != 0;

    std::vector<int> counts(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                for (const JsonValue& record : records) counts[t] += matches_filter(conditions, record);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int count : counts) EXPECT_EQ(count, expected * 20);
}

}  // namespace
}  // namespace tessello
