#pragma once
// The boundary between CPython and the C++ below it: no C++ exception ever
// reaches the interpreter. `guarded<Fn, &PyExc_X>` is Fn with every exception
// turned into a Python one: exhausted memory (std::bad_alloc, and
// std::length_error, a size no allocation can hold) becomes MemoryError, any
// other exception the method's own class X with its text (SystemError for
// members that raise nothing of their own). The interpreter's own
// thread-ending unwind (abi::__forced_unwind) passes through untouched.
#include <Python.h>

#include <cxxabi.h>

#include <type_traits>

namespace tessello::py {

// Sets the Python exception for the C++ exception being handled; called
// only from inside a catch block.
void raise_current_exception(PyObject* own_class) noexcept;

template <auto Fn, PyObject** Own, class Signature = decltype(Fn)>
struct Guard;

template <auto Fn, PyObject** Own, class R, class... A>
struct Guard<Fn, Own, R (*)(A...)> {
    // The forced unwind carries no exception object, so the handler's
    // reference is bound to null by design; the undefined-behaviour
    // sanitizer's null check would call that an error.
    __attribute__((no_sanitize("null"))) static R call(A... args) {
        try {
            return Fn(args...);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            raise_current_exception(Own != nullptr ? *Own : PyExc_SystemError);
            if constexpr (std::is_pointer_v<R>)
                return nullptr;
            else
                return -1;
        }
    }
};

template <auto Fn, PyObject** Own = nullptr>
inline constexpr auto guarded = &Guard<Fn, Own>::call;

}  // namespace tessello::py
