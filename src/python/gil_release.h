#pragma once
// GilRelease: the interpreter lock let go for the guard's life and taken back
// when it ends, on every path out of the scope. The one way the Python face
// lets other threads run while the core works: nothing inside the scope may
// touch a Python object. Made and ended on one thread; not copied or moved.
#include <Python.h>

namespace tessello::py {

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tessello::py
