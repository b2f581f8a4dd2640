#pragma once
// JsonError: why a JSON text was refused and where. The position counts from
// line 1; the column is the number of bytes of the current line taken up to
// the fault (0 before the first byte of a line). Callers that report it to the
// user wrap message() into their own error.
#include <cstdint>
#include <expected>
#include <string>

namespace tessello {

struct JsonError {
    std::string description;
    std::uint64_t line = 1;
    std::uint64_t column = 0;

    // "{description} at line {line} column {column}".
    std::string message() const;
};

template <class T>
using JsonResult = std::expected<T, JsonError>;

}  // namespace tessello
