#pragma once
// JsonReader: reads standard JSON text (RFC 8259) and nothing more lenient.
//
// - Numbers follow the strict grammar. An integer literal is an unsigned
//   integer when it fits u64, a signed integer when it is negative and fits
//   i64; every other number (a fraction, an exponent, an integer out of those
//   ranges, and "-0") is a float, rounded correctly. A float whose magnitude
//   is beyond f64 is refused ("number out of range"); one too small becomes a
//   zero of its sign.
// - Strings must be valid UTF-8; escapes include surrogate pairs; lone
//   surrogates and raw control characters are refused.
// - Containers nest at most 127 deep: opening one at depth 128 is refused with
//   "recursion limit exceeded", so the reader's own recursion stays bounded.
// - Objects keep the last value of a repeated key (JsonObject).
// - Every fault is a JsonError whose position counts the bytes taken so far
//   (or, where the fault is the next byte itself, that byte too). The reader
//   never looks past the end of its text.
//
// Besides whole values, the reader offers the steps a typed reader of one
// fixed record layout needs (containers walked member by member, strings and
// numbers, positioned errors), so such readers report faults the same way.
// After an error the reader is spent: report the error and drop it.
#include <cassert>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json/json_error.h"
#include "json/json_value.h"

namespace tessello {

// One JSON value; only white space may stand before and after it.
JsonResult<JsonValue> parse_json(std::string_view text);

class JsonReader {
public:
    // Nesting depth at which opening a container is refused.
    static constexpr int kNestingLimit = 128;

    // The reader borrows text; it must outlive the reader.
    explicit JsonReader(std::string_view text) : text_(text) {}

    // Skips white space (space, tab, line feed, carriage return) and returns
    // the next byte without taking it, or nothing at the end of the text.
    std::optional<unsigned char> peek();
    // Takes the byte peek() returned.
    void advance() {
        assert(pos_ < text_.size());
        ++pos_;
    }

    // One value of any kind, starting at the next non-white-space byte.
    JsonResult<JsonValue> read_value();
    // Only white space is left; otherwise "trailing characters".
    JsonResult<void> read_end();

    // A string; peek() must have returned '"'.
    JsonResult<std::string> read_string();
    // A number; peek() must have returned '-' or a digit.
    JsonResult<JsonValue> read_number();

    // Counts one more level of nesting before a container is opened; refused
    // at the limit. Every success is matched by leave_nested().
    JsonResult<void> enter_nested();
    void leave_nested() { --depth_; }

    // Walking an array whose '[' was taken: true when an item follows (the
    // next byte starts it), false at the closing ']' (not taken). `first`
    // is true before the first item and is updated.
    JsonResult<bool> next_item(bool& first);
    // Takes the closing ']' of an array whose items were read as wanted.
    JsonResult<void> end_array();

    // Walking an object whose '{' was taken: the next key, or nothing at the
    // closing '}' (not taken). `first` as for next_item.
    JsonResult<std::optional<std::string>> next_key(bool& first);
    // Takes the ':' after a key.
    JsonResult<void> read_colon();
    // Takes the closing '}' of an object.
    JsonResult<void> end_object();

    // An error positioned after the bytes taken so far.
    JsonError error_here(std::string description) const;
    // An error positioned after the next byte (the offending one), or at the
    // end of the text when there is none.
    JsonError error_at_next(std::string description) const;

    // Bytes taken so far.
    std::size_t offset() const { return pos_; }

private:
    JsonError error_at(std::size_t index, std::string description) const;
    JsonResult<void> read_literal(std::string_view rest);
    JsonResult<void> read_escape(std::string& out);
    JsonResult<unsigned> read_hex4();
    JsonResult<JsonValue> read_float(std::string_view literal);
    JsonResult<JsonValue> read_array();
    JsonResult<JsonValue> read_object();

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

}  // namespace tessello
