#pragma once
// PyRef: owner of one strong reference to a Python object.
#include <Python.h>

#include <utility>

namespace tessello::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (which may be null).
    explicit PyRef(PyObject* owned) : p_(owned) {}
    static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tessello::py
