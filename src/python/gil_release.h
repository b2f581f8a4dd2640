#pragma once
// run_without_gil: the one way the Python face lets other threads run while
// the core works. Nothing fn does may touch a Python object.
//
// The interpreter lock is taken back by a plain call after fn, never by a
// destructor: while the interpreter finalizes, taking the lock back ends a
// daemon thread by unwinding its stack (abi::__forced_unwind), and that
// unwinding must find no noexcept frame and no handler that swallows it. An
// exception that fn throws is held until the lock is back, then rethrown for
// the method's boundary to turn into a Python exception.
#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace tessello::py {

template <class F>
auto run_without_gil(F&& fn) -> decltype(fn()) {
    std::optional<decltype(fn())> result;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        result.emplace(fn());
    } catch (...) {
        // fn never takes the interpreter lock, so no forced unwind starts in
        // it; whatever it threw waits here until the lock is back.
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace tessello::py
