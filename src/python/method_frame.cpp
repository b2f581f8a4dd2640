#include "python/method_frame.h"

#include <cstring>
#include <vector>

#include "python/errors.h"
#include "python/py_compat.h"
#include "python/py_ref.h"

namespace tessello::py {

namespace {

bool type_error(const std::string& message) {
    raise_text(PyExc_TypeError, message);
    return false;
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                out += " and ";
            else if (i + 1 == names.size())
                out += ", and ";
            else
                out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

int find_parameter(const Signature& sig, PyObject* keyword) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &len);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (int i = 0; i < sig.count; ++i)
        if (std::strlen(sig.names[i]) == static_cast<std::size_t>(len) && std::memcmp(sig.names[i], text, len) == 0)
            return i;
    return -1;
}

}  // namespace

bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) {
    for (int i = 0; i < sig.count; ++i) slots[i] = nullptr;
    if (nargs > sig.count) {
        const char* verb = nargs == 1 ? "was" : "were";
        std::string message = std::string(sig.full_name) + " takes ";
        if (sig.required == sig.count)
            message += std::to_string(sig.count);
        else
            message += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
        message += " positional arguments but " + std::to_string(nargs) + " " + verb + " given";
        return type_error(message);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const int index = find_parameter(sig, keyword);
        if (index < 0) {
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(keyword, &len);
            if (text == nullptr) return false;
            return type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" +
                              std::string(text, static_cast<std::size_t>(len)) + "'");
        }
        if (slots[index] != nullptr)
            return type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                              sig.names[index] + "'");
        slots[index] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (int i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.names[i]);
    if (!missing.empty())
        return type_error(std::string(sig.full_name) + " missing " + std::to_string(missing.size()) +
                          " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                          quoted_list(missing));
    return true;
}

std::string cannot_convert(PyObject* obj, const char* target) {
    std::string type_name = "<unknown>";
    PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname) {
        if (const char* text = PyUnicode_AsUTF8(qualname.get())) type_name = text;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return "'" + type_name + "' object cannot be converted to '" + target + "'";
}

void prefix_argument_error(const char* name) {
    PyRef error(PyErr_GetRaisedException());
    if (!error) return;
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyRef text(PyObject_Str(error.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    // The new error carries the cause of the one it replaces.
    PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(replacement.release());
}

bool arg_str(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        type_error(std::string("argument '") + name + "': " + cannot_convert(obj, "PyString"));
        return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(len));
    return true;
}

bool arg_optional_str(PyObject* obj, const char* name, std::optional<std::string>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    std::string value;
    if (!arg_str(obj, name, value)) return false;
    out = std::move(value);
    return true;
}

bool arg_dict(PyObject* obj, const char* name) {
    if (PyDict_Check(obj)) return true;
    type_error(std::string("argument '") + name + "': " + cannot_convert(obj, "PyDict"));
    return false;
}

bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = value;
    return true;
}

bool arg_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    std::uint64_t value = 0;
    if (!arg_u64(obj, name, value)) return false;
    out = value;
    return true;
}

}  // namespace tessello::py
