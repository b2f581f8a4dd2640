#pragma once
// Conversions between Python objects and the core's values, shared by the
// methods. Each failing function returns false / nothing with a Python
// exception set.
#include <Python.h>

#include <optional>
#include <vector>

#include "collection/search_collection.h"
#include "json/json_value.h"

namespace tessello::py {

// A vector from a 1-D float32 or float64 NumPy array (contiguous arrays are
// copied in one pass) or any other sequence of numbers (item by item, as the
// built-in float converts). NumPy is loaded on the first call.
bool extract_vector(PyObject* obj, std::vector<float>& out);

// A JSON value from a Python object, through json.dumps and the JSON reader:
// dumps' exceptions pass through; text that is not JSON (NaN, Infinity) is
// ValueError "Invalid JSON: ...".
std::optional<JsonValue> dict_to_json_value(PyObject* obj);

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
bool extract_rows(PyObject* obj, std::vector<std::vector<float>>& rows);

// Row `row` of a 2-D float64 array, read through its strides and rounded to
// float32. Requires NumPy to be loaded and `array` to be such an array.
std::vector<float> array_row_to_vec(PyObject* array, Py_ssize_t row);

}  // namespace tessello::py
