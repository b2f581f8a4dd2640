#pragma once
// Turning a StoreError into the Python exception a method raises: one
// exception class per method, the error's message as its single argument.
#include <Python.h>

#include "error/store_error.h"

namespace tessello::py {

// Sets the exception and returns null, for `return raise(...)`.
PyObject* raise(PyObject* exception_class, const StoreError& error);
// The same for slots that return an int status.
int raise_status(PyObject* exception_class, const StoreError& error);

}  // namespace tessello::py
