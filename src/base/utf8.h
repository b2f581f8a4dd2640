#pragma once
// UTF-8 validation that reports where and how a byte string stops being UTF-8,
// in the words the stored-value decoder uses: "invalid utf-8 sequence of {n}
// bytes from index {i}" or "incomplete utf-8 byte sequence from index {i}".
#include <optional>
#include <string>
#include <string_view>

namespace tessello {

// Nothing when bytes are valid UTF-8, else the description of the first fault.
std::optional<std::string> utf8_error(std::string_view bytes);

}  // namespace tessello
