// Module initialisation: single-phase, refusing every interpreter but the
// first one that imports it; a later import in that interpreter returns the
// module built the first time.
//
// The first build also registers the exit hook that flushes every collection
// still open when the interpreter has finished (Py_AtExit). It runs after
// Python's own finalization: no Python code runs any more, every object the
// interpreter let go of has already flushed on release, and a daemon thread
// can no longer return from a call into Python code (taking the interpreter
// lock back ends it), so every add that returned is buffered or written. A
// daemon thread still inside a core call may run beside the hook; the cores'
// own locks order the two.
#include <Python.h>

#include <atomic>

#include "database/live_cores.h"
#include "python/boundary.h"
#include "python/classes.h"
#include "python/py_ref.h"

namespace tessello::py {

namespace {

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* module_cell = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessello",
    "Tessello Python module.\n\nA lightweight, serverless vector database for AI agent memory.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends name to __all__ (made when missing) and sets the attribute.
bool add_class(PyObject* module, const char* name, PyObject* cls) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, cls) == 0;
}

bool module_body(PyObject* module) {
    for (int i = 0; i < static_cast<int>(ClassId::Count); ++i) {
        const auto id = static_cast<ClassId>(i);
        PyTypeObject* cls = class_object(id);
        if (cls == nullptr) return false;
        if (!add_class(module, class_name(id), reinterpret_cast<PyObject*>(cls))) return false;
    }
    return true;
}

void flush_at_exit() { tessello::flush_live_cores(); }

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "tessello does not support subinterpreters: it can be imported only in the "
                        "interpreter that first imported it");
        return nullptr;
    }
    if (module_cell != nullptr) return Py_NewRef(module_cell);
    PyRef module(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (!module_body(module.get())) return nullptr;
    module_cell = Py_NewRef(module.get());
    // A full table of exit functions (32) only costs the flush at exit.
    (void)Py_AtExit(flush_at_exit);
    return module.release();
}

}  // namespace

}  // namespace tessello::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessello(void) {
    using namespace tessello::py;
    return guarded<init_module, &PyExc_ImportError>();
}
