#pragma once
// Turning a StoreError into the Python exception a method raises: one
// exception class per method, the error's message as its single argument.
#include <Python.h>

#include <string>

#include "base/store_error.h"

namespace tessello::py {

// Sets the exception and returns null, for `return raise(...)`.
PyObject* raise(PyObject* exception_class, const StoreError& error);
// Raises exception_class with a message of the system's own (which may hold
// any character, NUL included).
PyObject* raise_text(PyObject* exception_class, const std::string& message);
// The same for slots that return an int status.
int raise_status(PyObject* exception_class, const StoreError& error);

}  // namespace tessello::py
