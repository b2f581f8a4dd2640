#include "python/classes.h"

#include <string>

#include "python/boundary.h"
#include "python/py_ref.h"

namespace tessello::py {

namespace {

PyType_Spec* spec_of(ClassId id) {
    switch (id) {
        case ClassId::Tessello: return tessello_spec();
        case ClassId::Collection: return collection_spec();
        case ClassId::SearchResult: return search_result_spec();
        case ClassId::CompactStats: return compact_stats_spec();
        case ClassId::RecoveryStats: return recovery_stats_spec();
        case ClassId::ImportStats: return import_stats_spec();
        case ClassId::Count: break;
    }
    return nullptr;
}

PyTypeObject* built[static_cast<int>(ClassId::Count)] = {};

}  // namespace

const char* class_name(ClassId id) {
    static const char* const names[] = {"Tessello",      "Collection",    "SearchResult",
                                        "CompactStats", "RecoveryStats", "ImportStats"};
    return names[static_cast<int>(id)];
}

PyTypeObject* class_object(ClassId id) {
    PyTypeObject*& cell = built[static_cast<int>(id)];
    if (cell == nullptr) cell = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_of(id)));
    return cell;
}

namespace {

PyObject* refuse(PyTypeObject* type, PyObject*, PyObject*) {
    std::string name = "<unknown>";
    PyRef text(PyType_GetName(type));
    if (text) {
        if (const char* utf8 = PyUnicode_AsUTF8(text.get())) name = utf8;
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, ("No constructor defined for " + name).c_str());
    return nullptr;
}

}  // namespace

PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<refuse, &PyExc_TypeError>(type, args, kwargs);
}

}  // namespace tessello::py
