#pragma once
// Conversions between Python objects and the core's values, shared by the
// methods. Each failing function returns false / nothing with a Python
// exception set.
#include <Python.h>

#include <optional>
#include <vector>

#include "base/row_block.h"
#include "collection/collection.h"
#include "collection/search_collection.h"
#include "json/json_value.h"
#include "json/json_writer.h"

namespace tessello::py {

// A vector from a 1-D float32 or float64 NumPy array (contiguous arrays are
// copied in one pass) or any other sequence of numbers (item by item, as the
// built-in float converts). NumPy is loaded on the first call.
//
// A sequence's length is only a hint: room is reserved for no more than
// kVectorReadLimit items, and reading stops there. `length` is the vector's
// length: out.size(), or, for a sequence cut short (longer than any
// collection takes, so every operation refuses it for its length), the
// length the sequence reports when that is longer, else the items seen.
inline constexpr std::size_t kVectorReadLimit = kMaxDimensions + 1;
bool extract_vector(PyObject* obj, std::vector<float>& out, std::uint64_t& length);

// A JSON value from a Python object, through json.dumps and the JSON reader:
// dumps' exceptions pass through; text that is not JSON (NaN, Infinity) is
// ValueError "Invalid JSON: ...".
std::optional<JsonValue> dict_to_json_value(PyObject* obj);

// The compact text of the value dict_to_json_value gives, or its exception.
// A dict made only of plain values (dict, list, tuple, str, int, float, bool,
// None, of exactly those types, not nested deeply) is written straight to
// text without a JSON value in between: the bytes are those the round trip
// through json.dumps, the reader and the writer gives. Anything else takes
// that round trip itself, as does every dict while json.dumps is replaced.
std::optional<JsonText> dict_to_json_text(PyObject* obj);

// The value a SearchResult holds: identifier, compact metadata text, score.
struct SearchResultValue {
    std::string id;
    std::string metadata;
    float score = 0.0f;
};
SearchResultValue to_search_result(SearchHit hit);

// The rows of a batch: a 2-D float32 or float64 NumPy array (read through
// its strides, whatever its layout), or any other sequence (not a str) whose
// items each convert with extract_vector.
//
// The batch add reads rows only up to the first whose length is not `dims`
// (it refuses the batch there), and counts them only up to `keep`: every row
// is still converted, so its errors show, but rows after the first of the
// wrong length are kept empty, and rows past `keep` are not kept at all. The
// rows held are then what valid input of that many rows would need.
struct RowsRead {
    // The length of the first row of the wrong length, when the conversion
    // cut it short (see extract_vector).
    std::optional<std::uint64_t> cut_length;
};
bool extract_rows(PyObject* obj, std::uint64_t dims, std::size_t keep, RowBlock& rows, RowsRead& read);

// Row `row` of a 2-D float64 array, read through its strides and rounded to
// float32. Requires NumPy to be loaded and `array` to be such an array.
std::vector<float> array_row_to_vec(PyObject* array, Py_ssize_t row);

}  // namespace tessello::py
