#include "python/errors.h"

namespace tessello::py {

PyObject* raise(PyObject* exception_class, const StoreError& error) {
    return raise_text(exception_class, error.message());
}

PyObject* raise_text(PyObject* exception_class, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(exception_class, text);
    Py_DECREF(text);
    return nullptr;
}

int raise_status(PyObject* exception_class, const StoreError& error) {
    raise(exception_class, error);
    return -1;
}

}  // namespace tessello::py
