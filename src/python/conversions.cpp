#include "python/conversions.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "python/errors.h"
#include "python/method_frame.h"
#include "python/py_ref.h"

namespace tessello::py {

namespace {

// NumPy's array interface, loaded through its capsule on first use. Without
// NumPy no object can be an array, so every vector takes the sequence path.
bool numpy_ready() {
    static int state = 0;  // 0: not tried, 1: loaded, 2: unavailable
    if (state == 0) {
        if (_import_array() < 0) {
            PyErr_Clear();
            state = 2;
        } else {
            state = 1;
        }
    }
    return state == 1;
}

bool is_dtype(PyArrayObject* array, int type_number) {
    PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
    Py_DECREF(wanted);
    return same;
}

bool contiguous(PyArrayObject* array) {
    return PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array);
}

// The fast paths: a contiguous 1-D float32 or float64 array.
bool from_array(PyObject* obj, std::vector<float>& out) {
    if (!numpy_ready() || !PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || !contiguous(array)) return false;
    const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
    if (is_dtype(array, NPY_FLOAT32)) {
        out.resize(n);
        if (n > 0) std::memcpy(out.data(), PyArray_DATA(array), n * sizeof(float));
        return true;
    }
    if (is_dtype(array, NPY_FLOAT64)) {
        // The data need not be aligned for doubles.
        const auto* data = static_cast<const char*>(PyArray_DATA(array));
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            double v;
            std::memcpy(&v, data + i * sizeof v, sizeof v);
            out[i] = static_cast<float>(v);
        }
        return true;
    }
    return false;
}

}  // namespace

// A list argument must be a sequence other than a str.
bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_text(PyExc_TypeError, cannot_convert(obj, "Sequence"));
        return false;
    }
    return true;
}

bool extract_vector(PyObject* obj, std::vector<float>& out, std::uint64_t& length) {
    out.clear();
    if (from_array(obj, out)) {
        length = out.size();
        return true;
    }
    if (!check_sequence(obj)) return false;
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0)
        PyErr_Clear();
    else
        out.reserve(std::min(static_cast<std::size_t>(size), kVectorReadLimit));
    PyRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
        if (out.size() == kVectorReadLimit) {
            // No collection takes this vector: what more it holds changes
            // nothing but the length the refusal names.
            length = std::max<std::uint64_t>(size < 0 ? 0 : static_cast<std::uint64_t>(size), out.size() + 1);
            return true;
        }
        double value;
        if (PyFloat_CheckExact(item.get())) {
            value = PyFloat_AS_DOUBLE(item.get());
        } else {
            value = PyFloat_AsDouble(item.get());
            if (value == -1.0 && PyErr_Occurred()) return false;
        }
        out.push_back(static_cast<float>(value));
    }
    if (PyErr_Occurred()) return false;
    length = out.size();
    return true;
}

std::optional<JsonValue> dict_to_json_value(PyObject* obj) {
    PyRef json(PyImport_ImportModule("json"));
    if (!json) return std::nullopt;
    PyRef dumps(PyObject_GetAttrString(json.get(), "dumps"));
    if (!dumps) return std::nullopt;
    PyRef text(PyObject_CallOneArg(dumps.get(), obj));
    if (!text) return std::nullopt;
    if (!PyUnicode_Check(text.get())) {
        raise_text(PyExc_TypeError, cannot_convert(text.get(), "PyString"));
        return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (utf8 == nullptr) return std::nullopt;
    auto value = parse_json(std::string_view(utf8, static_cast<std::size_t>(len)));
    if (!value) {
        raise_text(PyExc_ValueError, "Invalid JSON: " + value.error().message());
        return std::nullopt;
    }
    return std::move(*value);
}

namespace {

// Nesting that a direct write takes on; deeper values (and cycles) take the
// round trip, whose reader refuses what nests too deep and whose dumps
// reports a cycle.
constexpr int kDirectDepth = 64;

// Writes a plain value as the writer writes what dumps and the reader make
// of it. False (out possibly half written, no exception set): not plain, so
// the round trip must decide. No Python code runs: only exact built-in types
// are read, so nothing can change the value while it is written.
bool write_plain(PyObject* o, int depth, std::string& out) {
    if (o == Py_None) {
        out += "null";
        return true;
    }
    if (o == Py_True || o == Py_False) {
        out += o == Py_True ? "true" : "false";
        return true;
    }
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
        if (utf8 == nullptr) {  // a lone surrogate: the reader decides
            PyErr_Clear();
            return false;
        }
        write_json_string(std::string_view(utf8, static_cast<std::size_t>(len)), out);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        // The reader keeps what fits in u64 or, below zero, i64; the rest
        // becomes a float there.
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) {
            if (v < 0)
                write_json_i64(v, out);
            else
                write_json_u64(static_cast<std::uint64_t>(v), out);
            return true;
        }
        if (overflow < 0) return false;
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        write_json_u64(u, out);
        return true;
    }
    if (PyFloat_CheckExact(o)) {
        // dumps writes repr, which reads back to the same double; NaN and
        // infinities are not JSON, and subnormals are left to the reader.
        const double x = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(x) || (x != 0 && std::fabs(x) < std::numeric_limits<double>::min())) return false;
        write_json_f64(x, out);
        return true;
    }
    if (depth >= kDirectDepth) return false;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        const bool list = PyList_CheckExact(o);
        const Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        out += '[';
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) out += ',';
            if (!write_plain(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i), depth + 1, out)) return false;
        }
        out += ']';
        return true;
    }
    if (PyDict_CheckExact(o)) {
        // Keys in byte order, as the reader's objects keep them; distinct
        // str keys have distinct UTF-8 bytes.
        std::vector<std::pair<std::string_view, PyObject*>> members;
        members.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(o, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return false;
            }
            members.emplace_back(std::string_view(utf8, static_cast<std::size_t>(len)), value);
        }
        std::sort(members.begin(), members.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        out += '{';
        bool first = true;
        for (const auto& [name, member] : members) {
            if (!first) out += ',';
            first = false;
            write_json_string(name, out);
            out += ':';
            if (!write_plain(member, depth + 1, out)) return false;
        }
        out += '}';
        return true;
    }
    return false;
}

// Whether json.dumps is still the json module's own function (a replacement
// defined elsewhere would have other globals), so that skipping it changes
// nothing. Leaves no exception set.
bool dumps_is_standard() {
    // Only a module already imported is looked at (sys.modules, no import
    // machinery); before that the round trip imports it.
    static PyObject* const name = PyUnicode_InternFromString("json");
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyRef json(PyImport_GetModule(name));
    if (!json) {
        PyErr_Clear();
        return false;
    }
    PyRef dumps(PyObject_GetAttrString(json.get(), "dumps"));
    if (!dumps) {
        PyErr_Clear();
        return false;
    }
    return PyFunction_Check(dumps.get()) && PyFunction_GET_GLOBALS(dumps.get()) == PyModule_GetDict(json.get());
}

}  // namespace

std::optional<JsonText> dict_to_json_text(PyObject* obj) {
    if (PyDict_CheckExact(obj) && dumps_is_standard()) {
        std::string text;
        text.reserve(64);
        if (write_plain(obj, 1, text)) return JsonText(std::move(text));
    }
    auto value = dict_to_json_value(obj);
    if (!value) return std::nullopt;
    return JsonText(*value);
}

SearchResultValue to_search_result(SearchHit hit) {
    SearchResultValue out;
    out.metadata.reserve(128);
    write_json(hit.metadata, out.metadata);
    out.id = std::move(hit.id);
    out.score = hit.score;
    return out;
}

namespace {

// Row `row` of a 2-D float32 array, copied as it is into out (its length).
void float32_row(PyArrayObject* array, npy_intp row, std::span<float> out) {
    const npy_intp columns = PyArray_DIM(array, 1);
    const npy_intp* strides = PyArray_STRIDES(array);
    const char* base = static_cast<const char*>(PyArray_DATA(array)) + row * strides[0];
    if (strides[1] == static_cast<npy_intp>(sizeof(float))) {
        if (columns > 0) std::memcpy(out.data(), base, static_cast<std::size_t>(columns) * sizeof(float));
        return;
    }
    for (npy_intp j = 0; j < columns; ++j) std::memcpy(&out[static_cast<std::size_t>(j)], base + j * strides[1], 4);
}

}  // namespace

namespace {

// Collects the rows a batch add reads (see extract_rows).
class RowKeeper {
public:
    RowKeeper(std::uint64_t dims, std::size_t keep, RowBlock& rows, RowsRead& read)
        : dims_(dims), keep_(keep), rows_(rows), read_(read) {}

    // Whether the next row is one the batch add reads.
    bool wanted() const { return rows_.size() < keep_ && !mismatched_; }

    // The next row: kept when wanted, else counted (as an empty row) while
    // fewer than `keep` are held.
    void add(std::span<const float> row, std::uint64_t length) {
        if (rows_.size() >= keep_) return;
        if (mismatched_) {
            rows_.append(0);
            return;
        }
        note_length(row.size(), length);
        rows_.push_back(row);
    }
    // The next row, wanted, of `size` floats that the caller writes in place.
    std::span<float> add_in_place(std::size_t size) {
        note_length(size, size);
        return rows_.append(size);
    }

private:
    void note_length(std::size_t size, std::uint64_t length) {
        if (size == dims_) return;
        mismatched_ = true;
        if (length != size) read_.cut_length = length;
    }

    const std::uint64_t dims_;
    const std::size_t keep_;
    RowBlock& rows_;
    RowsRead& read_;
    bool mismatched_ = false;
};

}  // namespace

bool extract_rows(PyObject* obj, std::uint64_t dims, std::size_t keep, RowBlock& rows, RowsRead& read) {
    rows.clear();
    read = RowsRead{};
    RowKeeper keeper(dims, keep, rows, read);
    if (numpy_ready() && PyArray_Check(obj)) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(array) == 2 && (is_dtype(array, NPY_FLOAT32) || is_dtype(array, NPY_FLOAT64))) {
            // The array's own rows convert without failing: only the rows
            // the batch add reads are made.
            const bool single = is_dtype(array, NPY_FLOAT32);
            const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
            const auto columns = static_cast<std::size_t>(PyArray_DIM(array, 1));
            rows.reserve(std::min(n, keep));
            for (std::size_t i = 0; i < n && rows.size() < keep; ++i) {
                if (!keeper.wanted()) {
                    keeper.add({}, 0);
                    continue;
                }
                if (single) {
                    float32_row(array, static_cast<npy_intp>(i), keeper.add_in_place(columns));
                    continue;
                }
                const std::vector<float> row = array_row_to_vec(obj, static_cast<Py_ssize_t>(i));
                keeper.add(row, row.size());
            }
            return true;
        }
    }
    if (!check_sequence(obj)) return false;
    PyRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    std::vector<float> row;
    while (PyRef item = PyRef(PyIter_Next(iterator.get()))) {
        std::uint64_t length = 0;
        if (!extract_vector(item.get(), row, length)) return false;
        keeper.add(keeper.wanted() ? std::span<const float>(row) : std::span<const float>(), length);
    }
    return !PyErr_Occurred();
}

std::vector<float> array_row_to_vec(PyObject* obj, Py_ssize_t row) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp columns = PyArray_DIM(array, 1);
    const npy_intp* strides = PyArray_STRIDES(array);
    const char* base = static_cast<const char*>(PyArray_DATA(array)) + row * strides[0];
    std::vector<float> out(static_cast<std::size_t>(columns));
    for (npy_intp j = 0; j < columns; ++j) {
        double v;
        std::memcpy(&v, base + j * strides[1], sizeof v);
        out[static_cast<std::size_t>(j)] = static_cast<float>(v);
    }
    return out;
}

}  // namespace tessello::py
