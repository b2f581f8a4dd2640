#include "export/export_lines.h"

#include <gtest/gtest.h>

#include <cmath>

#include "export/import.h"
#include "json/json_writer.h"

namespace tessello {
namespace {

std::string header_error(std::string_view text) {
    auto h = parse_export_header(text);
    return h ? "accepted" : h.error().message();
}

std::string record_error(std::string_view text) {
    auto r = parse_export_record(text);
    return r ? "accepted" : r.error().message();
}

TEST(ExportLinesTest, HeaderFormsAccepted) {
    auto h = parse_export_header(
        R"( {"exported_at":5,"extra":[{"x":1}],"record_count":2,"metric":"any","dimensions":3,)"
        R"("collection":"c","version":0} )"
        "\n");
    ASSERT_TRUE(h) << h.error().message();
    EXPECT_EQ(h->version, 0u);
    EXPECT_EQ(h->dimensions, 3u);
    EXPECT_EQ(h->metric, "any");
    auto a = parse_export_header(R"([1,"c",3,"l2",2,5])");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->collection, "c");
    EXPECT_EQ(a->exported_at, 5u);
}

TEST(ExportLinesTest, HeaderFaults) {
    const std::string full = R"("collection":"c","dimensions":3,"metric":"l2","record_count":2,"exported_at":5)";
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"\n", "EOF while parsing a value at line 2 column 0"},
        {R"({"version":1,"collection":"c","dimensions":3,"metric":"l2","record_count":2})",
         "missing field `exported_at` at line 1 column 76"},
        {"{}", "missing field `version` at line 1 column 2"},
        {"{\"version\":1,\"version\" :1," + full + "}", "duplicate field `version` at line 1 column 23"},
        {"{\"version\":\"1\"," + full + "}", "invalid type: string \"1\", expected u32 at line 1 column 14"},
        {"{\"version\":4294967296," + full + "}",
         "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
        {"{\"version\":1.5," + full + "}", "invalid type: floating point `1.5`, expected u32 at line 1 column 14"},
        {"{\"version\":[1]," + full + "}", "invalid type: sequence, expected u32 at line 1 column 11"},
        {R"({"version":1,"collection":"c","dimensions":-3})",
         "invalid value: integer `-3`, expected u64 at line 1 column 45"},
        {R"("header")", "invalid type: string \"header\", expected struct ExportHeader at line 1 column 8"},
        {"null", "invalid type: null, expected struct ExportHeader at line 1 column 4"},
        {R"([1,"c",3])", "invalid length 3, expected struct ExportHeader with 6 elements at line 1 column 9"},
        {R"([1,"c",3,"l2",2,5,6])", "trailing characters at line 1 column 19"},
        {"{\"version\":1," + full + "} x", "trailing characters at line 1 column 94"},
    };
    for (const auto& c : cases) EXPECT_EQ(header_error(c.text), c.message) << c.text;
}

TEST(ExportLinesTest, RecordFormsAndFaults) {
    auto r = parse_export_record(R"({"vector":[1,-2,0.5,1e39],"id":"a","metadata":[1],"ttl":null})");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->vector, (std::vector<float>{1, -2, 0.5f, INFINITY}));
    EXPECT_FALSE(r->ttl);
    EXPECT_FALSE(r->created_at);
    EXPECT_EQ(to_json_text(r->metadata), "[1]");
    auto a = parse_export_record(R"(["a",[1],null,7,8])");
    ASSERT_TRUE(a);
    EXPECT_EQ(*a->created_at, 7u);
    EXPECT_EQ(*a->ttl, 8u);

    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {R"({"id":"a","vector":[1,null],"metadata":{}})", "invalid type: null, expected f32 at line 1 column 26"},
        {R"({"id":"a","vector":[1,"2"],"metadata":{}})",
         "invalid type: string \"2\", expected f32 at line 1 column 25"},
        {R"({"id":"a","vector":5,"metadata":{}})", "invalid type: integer `5`, expected a sequence at line 1 column 20"},
        {R"({"id":7,"vector":[],"metadata":{}})", "invalid type: integer `7`, expected a string at line 1 column 7"},
        {R"({"id":"a","vector":[]})", "missing field `metadata` at line 1 column 22"},
        {R"({"id":"a","vector":[],"metadata":{},"ttl":"x"})",
         "invalid type: string \"x\", expected u64 at line 1 column 45"},
        {R"(["a",[1],{},null])", "invalid length 4, expected struct ExportRecord with 5 elements at line 1 column 17"},
        {"plain text", "expected value at line 1 column 1"},
        {R"({"id":"a\tb","vector":{},"metadata":1})", "invalid type: map, expected a sequence at line 1 column 22"},
    };
    for (const auto& c : cases) EXPECT_EQ(record_error(c.text), c.message) << c.text;
}

TEST(ExportLinesTest, UnicodeSpaceIsTrimmedAtBothEnds) {
    EXPECT_EQ(trim_unicode_space("\xe2\x80\x83 \t{}\r\n\xe3\x80\x80"), "{}");
    EXPECT_EQ(trim_unicode_space(" \xc2\xa0 "), "");
    EXPECT_EQ(trim_unicode_space("\xc3\xa9"), "\xc3\xa9");
}

}  // namespace
}  // namespace tessello
