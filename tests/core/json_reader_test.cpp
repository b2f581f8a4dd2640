#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>

#include "json/json_reader.h"
#include "json/json_writer.h"

namespace tessello {
namespace {

std::string error_of(std::string_view text) {
    auto value = parse_json(text);
    if (value) return "accepted: " + to_json_text(*value);
    return value.error().message();
}

// Number literals and the kind and value each reads as.
struct NumberCase {
    std::string_view text;
    JsonValue::Kind kind;
    std::string_view compact;  // the value written back
};

TEST(JsonReaderNumbers, KindAndValueFollowTheLiteral) {
    using K = JsonValue::Kind;
    const NumberCase cases[] = {
        {"0", K::Unsigned, "0"},
        {"7", K::Unsigned, "7"},
        {"18446744073709551615", K::Unsigned, "18446744073709551615"},
        {"18446744073709551616", K::Float, "1.8446744073709552e+19"},
        {"-1", K::Signed, "-1"},
        {"-9223372036854775808", K::Signed, "-9223372036854775808"},
        {"-9223372036854775809", K::Float, "-9.223372036854776e+18"},
        {"-18446744073709551615", K::Float, "-1.8446744073709552e+19"},
        {"-0", K::Float, "-0.0"},
        {"0.0", K::Float, "0.0"},
        {"5.0", K::Float, "5.0"},
        {"1e2", K::Float, "100.0"},
        {"1E+2", K::Float, "100.0"},
        {"25e-1", K::Float, "2.5"},
        {"-0.5", K::Float, "-0.5"},
        {"0e999999999999", K::Float, "0.0"},
        {"1e-400", K::Float, "0.0"},
        {"-1e-400", K::Float, "-0.0"},
        {"4e-324", K::Float, "5e-324"},
        {"1.7976931348623157e308", K::Float, "1.7976931348623157e+308"},
    };
    for (const auto& c : cases) {
        auto value = parse_json(c.text);
        ASSERT_TRUE(value) << c.text << ": " << value.error().message();
        EXPECT_EQ(value->kind(), c.kind) << c.text;
        EXPECT_EQ(to_json_text(*value), c.compact) << c.text;
    }
}

TEST(JsonReaderNumbers, FloatsAreCorrectlyRounded) {
    struct Case {
        std::string text;
        double expected;
    };
    const Case cases[] = {
        {"0.1", 0.1},
        // Exactly halfway between 1 and the next double: ties go to even.
        {"1.00000000000000011102230246251565404236316680908203125", 1.0},
        // A hair above halfway rounds up.
        {"1.00000000000000011102230246251565404236316680908203126", std::nextafter(1.0, 2.0)},
        {"9007199254740993.0", 9007199254740992.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        // Many digits and an exponent that brings them back to the normal range.
        {"0." + std::string(300, '0') + "1e301", 1.0},
    };
    for (const auto& c : cases) {
        auto value = parse_json(c.text);
        ASSERT_TRUE(value) << c.text;
        ASSERT_EQ(value->kind(), JsonValue::Kind::Float);
        EXPECT_EQ(value->as_float(), c.expected) << c.text;
    }
}

TEST(JsonReaderStrings, EscapesAndUtf8AreDecoded) {
    struct Case {
        std::string_view text;
        std::string_view expected;
    };
    const Case cases[] = {
        {R"("plain")", "plain"},
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u00e9\u00E9")", "\xC3\xA9\xC3\xA9"},
        {R"("\u20ac")", "\xE2\x82\xAC"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
        {"\"\xC3\xA9\xF0\x9F\x98\x80\x7F\"", "\xC3\xA9\xF0\x9F\x98\x80\x7F"},
        {R"("a\u0000b")", std::string_view("a\0b", 3)},
    };
    for (const auto& c : cases) {
        auto value = parse_json(c.text);
        ASSERT_TRUE(value) << c.text << ": " << value.error().message();
        ASSERT_TRUE(value->is_string());
        EXPECT_EQ(value->as_string(), c.expected) << c.text;
    }
}

TEST(JsonReaderObjects, KeysInByteOrderAndLastDuplicateWins) {
    auto value = parse_json(R"({"b":1,"a":2,"\u00e9":3,"B":4,"a":5,"b":{"z":0,"y":1}})");
    ASSERT_TRUE(value);
    EXPECT_EQ(to_json_text(*value), "{\"B\":4,\"a\":5,\"b\":{\"y\":1,\"z\":0},\"\xC3\xA9\":3}");
    const JsonObject& object = value->as_object();
    EXPECT_EQ(object.size(), 4u);
    ASSERT_NE(object.find("a"), nullptr);
    EXPECT_EQ(object.find("a")->as_unsigned(), 5u);
    EXPECT_EQ(object.find("c"), nullptr);
    EXPECT_EQ(object.find(""), nullptr);
}

TEST(JsonReaderValues, WhiteSpaceAroundAndInsideIsAllowed) {
    auto value = parse_json(" \t\r\n{ \"a\" : [ 1 , true , null , \"x\" ] , \"b\" : { } }\n ");
    ASSERT_TRUE(value) << value.error().message();
    EXPECT_EQ(to_json_text(*value), R"({"a":[1,true,null,"x"],"b":{}})");
}

TEST(JsonReaderNesting, LimitIs127LevelsOfContainers) {
    auto nested = [](int depth, char open, char close) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += open == '{' ? std::string("{\"k\":") : std::string(1, open);
        text += "0";
        text.append(static_cast<std::size_t>(depth), close);
        return text;
    };
    EXPECT_TRUE(parse_json(nested(127, '[', ']')));
    EXPECT_TRUE(parse_json(nested(127, '{', '}')));
    EXPECT_EQ(error_of(nested(128, '[', ']')), "recursion limit exceeded at line 1 column 128");
    // Objects and arrays count together.
    std::string mixed;
    for (int i = 0; i < 64; ++i) mixed += "[{\"k\":";
    EXPECT_EQ(error_of(mixed), "recursion limit exceeded at line 1 column 380");
}

// Refused texts and the exact message each gives; the column counts the bytes
// taken on the line, the offending byte included where it is the fault.
TEST(JsonReaderErrors, MessagesAndPositions) {
    struct Case {
        std::string_view text;
        std::string_view message;
    };
    const Case cases[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"x", "expected value at line 1 column 1"},
        {"NaN", "expected value at line 1 column 1"},
        {"Infinity", "expected value at line 1 column 1"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"True", "expected value at line 1 column 1"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"{} x", "trailing characters at line 1 column 4"},
        {"01", "invalid number at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.a", "invalid number at line 1 column 3"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+", "EOF while parsing a value at line 1 column 3"},
        {"1ea", "invalid number at line 1 column 3"},
        {"0x10", "trailing characters at line 1 column 2"},
        {"1e400", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"[1e99999999999999999999]", "number out of range at line 1 column 23"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[,1]", "expected value at line 1 column 2"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1}", "expected `,` or `]` at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {R"({"a")", "EOF while parsing an object at line 1 column 4"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
        {R"({"a":})", "expected value at line 1 column 6"},
        {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
        {R"({"a":1,})", "trailing comma at line 1 column 8"},
        {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        {R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{'a':1}", "key must be a string at line 1 column 2"},
        {R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
        {R"("abc)", "EOF while parsing a string at line 1 column 4"},
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {R"("\x")", "invalid escape at line 1 column 3"},
        {R"("\U0041")", "invalid escape at line 1 column 3"},
        {R"("\)", "EOF while parsing a string at line 1 column 2"},
        {R"("\u12")", "EOF while parsing a string at line 1 column 6"},
        {R"("\u12G4")", "invalid escape at line 1 column 7"},
        {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
        {R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
        {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
        {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\ud800\ud800")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\ud800)", "EOF while parsing a string at line 1 column 7"},
        {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
        {"\"\xC3\"", "invalid unicode code point at line 1 column 3"},
        {"\"\xC0\xAF\"", "invalid unicode code point at line 1 column 4"},        // overlong '/'
        {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},    // encoded surrogate
        {"\"\xF4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},  // above U+10FFFF
        // Bytes, not characters, make up the column.
        {"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},
        // Lines count line feeds; the column restarts after each.
        {"[\n1,\n]", "trailing comma at line 3 column 1"},
        {"[1\n", "EOF while parsing a list at line 2 column 0"},
        {"{\"a\":1}\n\nx", "trailing characters at line 3 column 1"},
        {"\r\n\r\n  ?", "expected value at line 3 column 3"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.message) << "input: " << c.text;
}

TEST(JsonReaderErrors, ErrorCarriesItsParts) {
    auto value = parse_json("[1,\n  x]");
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().description, "expected value");
    EXPECT_EQ(value.error().line, 2u);
    EXPECT_EQ(value.error().column, 3u);
}

// A typed reader walks a fixed layout with the same steps, and its own faults
// take positions from the reader.
TEST(JsonReaderSteps, WalkAnObjectMemberByMember) {
    JsonReader reader(R"( {"n": 3, "s": "x"} )");
    ASSERT_EQ(reader.peek(), '{');
    ASSERT_TRUE(reader.enter_nested());
    reader.advance();
    bool first = true;
    std::string seen;
    while (true) {
        auto key = reader.next_key(first);
        ASSERT_TRUE(key);
        if (!*key) break;
        ASSERT_TRUE(reader.read_colon());
        auto value = reader.read_value();
        ASSERT_TRUE(value);
        seen += **key + "=" + to_json_text(*value) + ";";
    }
    EXPECT_EQ(reader.error_here("missing field `id`").message(), "missing field `id` at line 1 column 18");
    ASSERT_TRUE(reader.end_object());
    reader.leave_nested();
    EXPECT_TRUE(reader.read_end());
    EXPECT_EQ(seen, "n=3;s=\"x\";");
}

TEST(JsonReaderSteps, EndArrayRefusesItemsLeftOver) {
    struct Case {
        std::string_view text;
        std::string_view message;
    };
    const Case cases[] = {
        {"[1,2]", "trailing characters at line 1 column 4"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1 2]", "trailing characters at line 1 column 4"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
    };
    for (const auto& c : cases) {
        JsonReader reader(c.text);
        ASSERT_EQ(reader.peek(), '[');
        reader.advance();
        bool first = true;
        ASSERT_TRUE(reader.next_item(first));
        ASSERT_TRUE(reader.read_value());  // a layout of one item
        auto end = reader.end_array();
        ASSERT_FALSE(end) << c.text;
        EXPECT_EQ(end.error().message(), c.message) << c.text;
    }
}

}  // namespace
}  // namespace tessello
