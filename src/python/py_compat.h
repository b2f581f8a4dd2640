#pragma once
// The raised-exception calls of CPython 3.12 (PyErr_GetRaisedException /
// PyErr_SetRaisedException), provided over the older fetch/restore calls
// when building against an earlier interpreter.
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif
