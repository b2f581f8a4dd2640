// The Python class Tessello: the database object.
#include <memory>
#include <string>

#include "database/database.h"
#include "python/boundary.h"
#include "python/classes.h"
#include "python/collection_object.h"
#include "python/errors.h"
#include "python/method_frame.h"
#include "python/py_ref.h"
#include "python/results.h"

namespace tessello::py {

namespace {

using DatabaseBox = std::unique_ptr<Database>;

Database& db(PyObject* self) { return *unbox<DatabaseBox>(self); }

PyObject* tessello_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path"};
    static const Signature sig{"Tessello.__new__()", names, 1, 1};
    // The constructor takes the classic calling convention; spread it into
    // the fast-call layout the frame matches.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat(args ? &PyTuple_GET_ITEM(args, 0) : nullptr,
                                args ? &PyTuple_GET_ITEM(args, 0) + nargs : nullptr);
    PyRef kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return nullptr;
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    PyObject* slots[1];
    if (!match_arguments(sig, flat.data(), nargs, kwnames.get(), slots)) return nullptr;
    std::string path;
    if (!arg_str(slots[0], "path", path)) return nullptr;

    auto opened = Database::open(std::move(path));
    if (!opened) return raise(PyExc_OSError, opened.error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Boxed<DatabaseBox>*>(self)->value) DatabaseBox(std::move(*opened));
    return self;
}

PyObject* tessello_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "dim", "metric"};
    static const Signature sig{"Tessello.collection()", names, 3, 2};
    PyObject* slots[3];
    if (!match_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string name;
    std::uint64_t dim = 0;
    std::string metric_text = "cosine";
    if (!arg_str(slots[0], "name", name) || !arg_u64(slots[1], "dim", dim)) return nullptr;
    if (slots[2] && !arg_str(slots[2], "metric", metric_text)) return nullptr;

    // Any mix of letter cases matches, by Python's full lower-case mapping.
    std::optional<Metric> metric;
    {
        PyRef given(slots[2] ? Py_NewRef(slots[2]) : PyUnicode_FromString("cosine"));
        if (!given) return nullptr;
        PyRef lowered(PyObject_CallMethod(given.get(), "lower", nullptr));
        if (!lowered) return nullptr;
        Py_ssize_t len = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(lowered.get(), &len))
            metric = parse_metric(std::string_view(text, static_cast<std::size_t>(len)));
        PyErr_Clear();
    }
    if (!metric) return raise_text(PyExc_ValueError, "Invalid metric '" + metric_text + "'. Expected: cosine, dot, l2");
    auto core = db(self).collection(name, dim, *metric);
    if (!core) return raise(PyExc_ValueError, core.error());
    return new_collection_object(std::move(*core));
}

// The one `name` argument of a method.
bool name_argument(const char* full_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& name) {
    static const char* const names[] = {"name"};
    const Signature sig{full_name, names, 1, 1};
    PyObject* slots[1];
    return match_arguments(sig, args, nargs, kwnames, slots) && arg_str(slots[0], "name", name);
}

PyObject* tessello_get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string name;
    if (!name_argument("Tessello.get_collection()", args, nargs, kwnames, name)) return nullptr;
    auto core = db(self).get_collection(name);
    if (!core) return raise(PyExc_KeyError, core.error());
    return new_collection_object(std::move(*core));
}

PyObject* names_list(const std::vector<std::string>& names) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* s = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* tessello_collections(PyObject* self, PyObject*) {
    auto names = db(self).collections();
    if (!names) return raise(PyExc_OSError, names.error());
    return names_list(*names);
}

PyObject* tessello_drop_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string name;
    if (!name_argument("Tessello.drop_collection()", args, nargs, kwnames, name)) return nullptr;
    if (auto st = db(self).drop_collection(name); !st) return raise(PyExc_OSError, st.error());
    Py_RETURN_NONE;
}

PyObject* tessello_sync(PyObject* self, PyObject*) {
    if (auto st = db(self).sync(); !st) return raise(PyExc_OSError, st.error());
    Py_RETURN_NONE;
}

PyObject* tessello_recovery_stats(PyObject* self, PyObject*) {
    const Database& d = db(self);
    return new_recovery_stats(RecoveryStatsValue{d.promoted, d.rolled_back, d.tombstones});
}

PyObject* tessello_repr(PyObject* self) {
    auto names = db(self).collections();
    if (!names) return PyUnicode_FromString("Tessello()");
    return PyUnicode_FromFormat("Tessello(collections=%zu)", names->size());
}

PyMethodDef tessello_methods[] = {
    {"collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<tessello_collection, &PyExc_ValueError>)),
     METH_FASTCALL | METH_KEYWORDS,
     "collection($self, name, dim, metric=\"cosine\")\n--\n\n"
     "Get or create a collection.\n\nArgs:\n    name: Collection name.\n    dim: Vector dimensions.\n"
     "    metric: Distance metric (\"cosine\", \"dot\", or \"l2\").\n\nReturns:\n    The Collection object."},
    {"get_collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<tessello_get_collection, &PyExc_KeyError>)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_collection($self, name)\n--\n\n"
     "Get an existing collection.\n\nArgs:\n    name: Collection name.\n\nReturns:\n    The Collection object."
     "\n\nRaises:\n    KeyError: If collection does not exist."},
    {"collections", guarded<tessello_collections, &PyExc_OSError>, METH_NOARGS,
     "collections($self)\n--\n\nList all collection names.\n\nReturns:\n    List of collection names."},
    {"drop_collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<tessello_drop_collection, &PyExc_OSError>)),
     METH_FASTCALL | METH_KEYWORDS,
     "drop_collection($self, name)\n--\n\nDelete a collection and all its data.\n\nArgs:\n    name: Collection name."},
    {"sync", guarded<tessello_sync, &PyExc_OSError>, METH_NOARGS, "sync($self)\n--\n\nFlush all pending writes to disk."},
    {"recovery_stats", guarded<tessello_recovery_stats>, METH_NOARGS,
     "recovery_stats($self)\n--\n\nGet recovery statistics from database open.\n\nReturns:\n"
     "    RecoveryStats with details about crash recovery."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tessello_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<DatabaseBox>)},
    {Py_tp_doc, const_cast<char*>("Tessello(path)\n--\n\nTessello vector database.\n\n"
                                  "A lightweight, serverless, single-file vector database for AI agent memory.")},
    {Py_tp_methods, tessello_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<tessello_repr>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<tessello_new, &PyExc_OSError>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec* tessello_spec() {
    static PyType_Spec spec{"builtins.Tessello", static_cast<int>(sizeof(Boxed<DatabaseBox>)), 0,
                            Py_TPFLAGS_DEFAULT, tessello_slots};
    return &spec;
}

}  // namespace tessello::py
