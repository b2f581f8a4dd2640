#pragma once
// The six classes of the module. Each class object is built once per process,
// on first need, from a PyType_Spec named "builtins.<Name>" with the default
// flags only (not subclassable, no instance dictionary, no cyclic GC). An
// instance stores its C++ value inline after the object header.
#include <Python.h>

#include <new>
#include <utility>

namespace tessello::py {

enum class ClassId { Tessello, Collection, SearchResult, CompactStats, RecoveryStats, ImportStats, Count };

// The class object (borrowed; kept for the life of the process), or null with
// an exception set when it could not be built.
PyTypeObject* class_object(ClassId id);
const char* class_name(ClassId id);

// The specs, one per class, defined beside each class's methods.
PyType_Spec* tessello_spec();
PyType_Spec* collection_spec();
PyType_Spec* search_result_spec();
PyType_Spec* compact_stats_spec();
PyType_Spec* recovery_stats_spec();
PyType_Spec* import_stats_spec();

// tp_new of every class but Tessello: "No constructor defined for {}".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

template <class T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* self) {
    return reinterpret_cast<Boxed<T>*>(self)->value;
}

// A new instance of the class holding value, or null with an exception set.
template <class T>
PyObject* box(ClassId id, T value) {
    PyTypeObject* type = class_object(id);
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Boxed<T>*>(self)->value) T(std::move(value));
    return self;
}

// tp_dealloc: releases the value, frees the object, drops the type's reference.
template <class T>
void dealloc_boxed(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Boxed<T>*>(self)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

}  // namespace tessello::py
