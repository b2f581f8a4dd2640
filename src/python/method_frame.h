#pragma once
// The frame every method shares: matching the fast-call arguments to the
// method's parameters, and converting them by kind, with the exact TypeError
// texts Python users see. Every function returns false (or null) with a Python
// exception set when it fails.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tessello::py {

struct Signature {
    const char* full_name;      // "Collection.add()"
    const char* const* names;   // parameter names, required ones first
    int count;
    int required;
};

// Fills slots[0..count) with borrowed references (null where not given).
bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots);

// str parameter (a str or subclass), copied as UTF-8.
bool arg_str(PyObject* obj, const char* name, std::string& out);
// str or None (null or None: absent).
bool arg_optional_str(PyObject* obj, const char* name, std::optional<std::string>& out);
// dict parameter (a dict or subclass); nothing is copied.
bool arg_dict(PyObject* obj, const char* name);
// unsigned 64-bit int (bool included, others through __index__).
bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool arg_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out);

// "'{type}' object cannot be converted to '{target}'" with the type's qualified name.
std::string cannot_convert(PyObject* obj, const char* target);

// Replaces a pending exception of exactly the class TypeError by one whose
// message is prefixed with "argument '{name}': ".
void prefix_argument_error(const char* name);

}  // namespace tessello::py
