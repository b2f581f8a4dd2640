#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "collection/fetch_record.h"
#include "collection/sync.h"
#include "collection_fixture.h"
#include "export/export.h"
#include "export/import.h"
#include "json/json_writer.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

std::vector<std::string> lines_of(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void write_text(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

class ExportImportTest : public CollectionFixture {
protected:
    std::string file(const char* name) { return (dir / name).string(); }
};

TEST_F(ExportImportTest, EmptyCollectionGivesAHeaderOnly) {
    auto core = open(3);
    auto n = export_collection(*core, file("out"));
    ASSERT_TRUE(n) << n.error().message();
    EXPECT_EQ(*n, 0u);
    auto lines = lines_of(file("out"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(R"({"version":1,"collection":"c","dimensions":3,"metric":"l2","record_count":0,"exported_at":)"))
        << lines[0];
}

TEST_F(ExportImportTest, LiveRecordsOnlyInKeyOrderWithTheirFields) {
    auto core = open(2);
    hold_buffer(*core);
    add(*core, {NAN, 1.5f}, "b", R"({"text":"two\nlines"})", 3600);
    add(*core, {1, 2}, "a", "[1,2]");
    add(*core, {1, 2}, "gone", "{}", 0);
    ASSERT_TRUE(sync_collection(*core));
    put_raw(*core, Record{"pending", 0, "{}", 0, std::nullopt, RecordState::Pending});
    hold_buffer(*core);
    add(*core, {3, 4}, "buffered");
    write_text(file("out"), std::string(10000, 'x'));  // replaced, not appended to
    auto n = export_collection(*core, file("out"));
    ASSERT_TRUE(n) << n.error().message();
    EXPECT_EQ(*n, 3u);
    auto lines = lines_of(file("out"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(R"("record_count":3,)"), std::string::npos);
    auto created = stored(*core, "a")->created_at;
    EXPECT_EQ(lines[1], R"({"id":"a","vector":[1.0,2.0],"metadata":[1,2],"created_at":)" + std::to_string(created) + "}");
    EXPECT_TRUE(lines[2].starts_with(R"({"id":"b","vector":[null,1.5],"metadata":{"text":"two\nlines"},"created_at":)"))
        << lines[2];
    EXPECT_NE(lines[2].find(R"(,"ttl":)"), std::string::npos);
    EXPECT_TRUE(lines[2].ends_with("}"));
    EXPECT_TRUE(lines[3].starts_with(R"({"id":"buffered")"));
}

TEST_F(ExportImportTest, MissingDirectoryIsAnIoErrorAfterTheFlush) {
    auto core = open(2);
    hold_buffer(*core);
    add(*core, {1, 1}, "x");
    auto n = export_collection(*core, file("no/such/dir/out"));
    ASSERT_FALSE(n);
    EXPECT_TRUE(n.error().message().starts_with("I/O error: ")) << n.error().message();
    EXPECT_EQ(buffered(*core), 0u);
}

TEST_F(ExportImportTest, RoundTripIntoAnotherCollection) {
    auto core = open(3, Metric::Dot);
    hold_buffer(*core);
    add(*core, {0.1f, -2.5f, 1e-7f}, "one", R"({"k":"v","n":-3})");
    add(*core, {3, 2, 1}, "two", "\"just a string\"");
    ASSERT_TRUE(export_collection(*core, file("out")));
    auto other = *open_collection(dir / "other", CollectionConfig{"other", 3, Metric::Cosine, 0, std::nullopt});
    auto stats = import_collection(*other, file("out"));
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(stats->imported, 2u);
    EXPECT_EQ(stats->failed, 0u);
    EXPECT_EQ(buffered(*other), 0u);  // flushed at the end
    EXPECT_EQ(to_json_text((*fetch_record(*other, "one"))->metadata), R"({"k":"v","n":-3})");
    EXPECT_EQ(to_json_text((*fetch_record(*other, "two"))->metadata), "\"just a string\"");
}

TEST_F(ExportImportTest, ImportSkipsBlankLinesAndCountsFailures) {
    auto core = open(2);
    const std::string header = R"({"version":0,"collection":"elsewhere","dimensions":2,"metric":"whatever","record_count":9,"exported_at":1})";
    write_text(file("in"), header + "\r\n\n   \r\n" +
                               R"({"id":"short","vector":[1],"metadata":{}})" "\n" +
                               R"({"id":"","vector":[1,2],"metadata":{}})" "\n" +
                               R"({"id":"d","vector":[1,2],"metadata":{"n":1}})" "\n" +
                               R"({"id":"d","vector":[3,4],"metadata":{"n":2},"ttl":0,"created_at":5})" "\n" +
                               R"(["e",[5,6],null,null,null])");
    auto stats = import_collection(*core, file("in"));
    ASSERT_TRUE(stats) << stats.error().message();
    EXPECT_EQ(stats->imported, 3u);
    EXPECT_EQ(stats->failed, 2u);
    EXPECT_EQ(stats->skipped, 0u);
    EXPECT_FALSE(*fetch_record(*core, "d"));  // the later line replaced it, expired at once
    ASSERT_TRUE(*fetch_record(*core, "e"));
    EXPECT_TRUE((*fetch_record(*core, "e"))->metadata.is_null());
    EXPECT_NE(stored(*core, "e")->created_at, 5u);
}

TEST_F(ExportImportTest, ImportFaults) {
    auto core = open(2);
    const std::string header = R"({"version":1,"collection":"c","dimensions":2,"metric":"l2","record_count":0,"exported_at":1})";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "Deserialization error: Invalid export header: EOF while parsing a value at line 1 column 0"},
        {R"({"version":2,"collection":"c","dimensions":2,"metric":"l2","record_count":0,"exported_at":1})",
         "Invalid format: Export version 2 is newer than supported version 1"},
        {R"({"version":1,"collection":"c","dimensions":5,"metric":"l2","record_count":0,"exported_at":1})",
         "Invalid dimensions: expected 2, got 5"},
        {header + "\n\n" + R"({"id":"x","vector":[1,null],"metadata":{}})" + "\n",
         "Deserialization error: Invalid record at line 3: invalid type: null, expected f32 at line 1 column 26"},
        {header + "\nnot json\n", "Deserialization error: Invalid record at line 2: expected ident at line 1 column 2"},
        {header + "\n{\"id\":\"\xff\"}\n", "I/O error: stream did not contain valid UTF-8"},
    };
    for (const auto& c : cases) {
        write_text(file("in"), c.text);
        auto stats = import_collection(*core, file("in"));
        ASSERT_FALSE(stats) << c.text;
        EXPECT_EQ(stats.error().message(), c.message);
    }
    auto missing = import_collection(*core, file("nothing-here"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().message().ends_with("(os error 2)"));
}

}  // namespace
}  // namespace tessello
