#pragma once
// SearchHit: one result before it becomes a Python object — the record's
// identifier, its metadata parsed from the stored text (null when the text is
// not JSON) and its raw score.
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tessello {

struct SearchHit {
    std::string id;
    JsonValue metadata;
    float score = 0.0f;
};

// Stored metadata text as a value: null when the text does not parse.
JsonValue metadata_value(std::string_view text);

}  // namespace tessello
