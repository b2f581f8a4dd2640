// Bounded, seeded fuzzing of the reader: whatever the bytes, it must return a
// value or a positioned error, never read outside its input (the sanitizer
// build checks that) and never recurse without bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "json/json_reader.h"
#include "json/json_writer.h"

namespace tessello {
namespace {

// Parses text from a buffer of exactly its size, so that any read past the
// end is an overflow the sanitizer reports.
void check_reader_on(std::string_view text) {
    auto buffer = std::make_unique<char[]>(text.size());
    std::copy(text.begin(), text.end(), buffer.get());
    std::string_view exact(buffer.get(), text.size());
    auto value = parse_json(exact);
    if (value) {
        // What was accepted writes out as text that reads back to itself.
        std::string written = to_json_text(*value);
        auto again = parse_json(written);
        ASSERT_TRUE(again) << written;
        ASSERT_EQ(to_json_text(*again), written);
        return;
    }
    const JsonError& error = value.error();
    ASSERT_FALSE(error.description.empty());
    ASSERT_GE(error.line, 1u);
    ASSERT_LE(error.column, text.size());
    std::string suffix = " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
    ASSERT_TRUE(error.message().ends_with(suffix)) << error.message();
}

TEST(JsonReaderFuzz, RandomBytes) {
    std::mt19937_64 rng(1);
    // Bytes drawn mostly from JSON's own alphabet, so that the inputs get deep
    // into the grammar instead of stopping at the first byte.
    static constexpr std::string_view kAlphabet = "{}[]:,\"\\-+.eE0123456789tfnrulasbu \n\t\x01\xC3\xA9\xED\xF0\xFF";
    for (int i = 0; i < 20000; ++i) {
        std::string text(rng() % 48, '\0');
        for (char& c : text)
            c = rng() % 4 == 0 ? static_cast<char>(rng()) : kAlphabet[rng() % kAlphabet.size()];
        check_reader_on(text);
    }
}

TEST(JsonReaderFuzz, MutatedValidDocuments) {
    static constexpr std::string_view kSeeds[] = {
        R"({"a":1,"b":[true,false,null],"c":{"d":"e\n\u00e9\ud83d\ude00"},"f":-0.5e-3})",
        R"([18446744073709551615,-9223372036854775808,1e308,"x",[],{}])",
        R"({"$in":[1,"x"],"$gt":5.5,"k":{"$eq":{"b":1}}})",
        "[[[[[[[[[[1]]]]]]]]]]",
        "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"",
    };
    std::mt19937_64 rng(2);
    for (int i = 0; i < 20000; ++i) {
        std::string text(kSeeds[rng() % std::size(kSeeds)]);
        for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0 && !text.empty(); --edits) {
            std::size_t at = rng() % text.size();
            switch (rng() % 4) {
                case 0: text[at] = static_cast<char>(rng()); break;
                case 1: text.erase(at, 1); break;
                case 2: text.insert(at, 1, text[rng() % text.size()]); break;
                default: text.resize(at); break;  // truncation
            }
        }
        check_reader_on(text);
    }
}

TEST(JsonReaderFuzz, DeepNestingStopsAtTheLimit) {
    const std::string texts[] = {
        std::string(10000, '['),
        std::string(10000, '[') + std::string(10000, ']'),
        [] {
            std::string s;
            for (int i = 0; i < 10000; ++i) s += "{\"a\":";
            return s;
        }(),
        [] {
            std::string s;
            for (int i = 0; i < 5000; ++i) s += "[{\"a\":";
            return s;
        }(),
    };
    for (const std::string& text : texts) {
        auto value = parse_json(text);
        ASSERT_FALSE(value);
        EXPECT_EQ(value.error().description, "recursion limit exceeded");
    }
}

TEST(JsonReaderFuzz, VeryLongNumbers) {
    struct Case {
        std::string text;
        std::string_view result;  // the written value, or the error message
    };
    const std::string digits(399, '0');
    const Case cases[] = {
        {"1" + digits, "number out of range at line 1 column 400"},
        {"-1" + digits, "number out of range at line 1 column 401"},
        {"1" + digits + "e-399", "1.0"},
        {"0." + digits + "1", "0.0"},
        {"-0." + digits + "1", "-0.0"},
        {"0." + std::string(400, '3'), "0.3333333333333333"},
        {std::string(400, '9') + ".5e-400", "1.0"},
        {"[" + std::string(300, '7') + "]", "[7.777777777777778e+299]"},
        {"[" + std::string(400, '7') + "]", "number out of range at line 1 column 401"},
        {"1e" + std::string(400, '9'), "number out of range at line 1 column 402"},
        {"1e-" + std::string(400, '9'), "0.0"},
        {"0e" + std::string(400, '9'), "0.0"},
        {"1e" + std::string(398, '0') + "1", "10.0"},
    };
    for (const auto& c : cases) {
        auto value = parse_json(c.text);
        std::string result = value ? to_json_text(*value) : value.error().message();
        EXPECT_EQ(result, c.result) << c.text.substr(0, 40);
    }
}

}  // namespace
}  // namespace tessello
