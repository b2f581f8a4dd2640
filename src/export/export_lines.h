#pragma once
// The two line types of an export file, read back strictly: each is one JSON
// value, either an object (members in any order, unknown keys skipped, a
// known key twice refused) or an array of every field in declaration order.
// Faults are reported as a typed reader reports them: "missing field `x`",
// "duplicate field `x`", "invalid type: {found}, expected {what}",
// "invalid value: integer `n`, expected u32", "invalid length {n}, expected
// struct ExportRecord with 5 elements", or the JSON reader's own texts, each
// with the reader's " at line {} column {}" position.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"
#include "json/json_value.h"

namespace tessello {

struct ExportHeader {
    std::uint32_t version = 0;
    std::string collection;
    std::uint64_t dimensions = 0;
    std::string metric;
    std::uint64_t record_count = 0;
    std::uint64_t exported_at = 0;
};

struct ExportRecord {
    std::string id;
    std::vector<float> vector;
    JsonValue metadata;
    std::optional<std::uint64_t> created_at;
    std::optional<std::uint64_t> ttl;
};

// One line; only JSON white space may stand around the value.
JsonResult<ExportHeader> parse_export_header(std::string_view text);
JsonResult<ExportRecord> parse_export_record(std::string_view text);

}  // namespace tessello
