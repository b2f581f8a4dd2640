// The Python class Collection: the method wrappers over the collection core.
#include <limits>

#include "collection/batch_add.h"
#include "collection/compaction.h"
#include "collection/fetch_record.h"
#include "collection/insert.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "export/export.h"
#include "export/import.h"
#include "python/boundary.h"
#include "python/classes.h"
#include "python/collection_object.h"
#include "python/conversions.h"
#include "python/errors.h"
#include "python/gil_release.h"
#include "python/method_frame.h"
#include "python/py_ref.h"
#include "python/results.h"
#include "search/filter/parse_where.h"

namespace tessello::py {

namespace {

CollectionHandle& handle(PyObject* self) { return unbox<CollectionHandle>(self); }

PyObject* utf8(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Runs fn without the interpreter lock, holding an extra share of the core so
// it outlives the call whatever other holders do meanwhile.
// The share is let go before the lock comes back: releasing the last one
// flushes the buffer, which must not hold the interpreter up.
template <class F>
auto without_gil(const CollectionHandle& core, F&& fn) {
    return run_without_gil([&] {
        CollectionHandle share = core;
        return fn(*share);
    });
}

// The error of a vector longer than any collection takes, which the
// conversion stopped reading (conversions.h): what the operation says of a
// vector of the wrong length, with the length the sequence has.
PyObject* raise_overlong(const Collection& core, std::uint64_t length) {
    return raise(PyExc_ValueError, StoreError::dimension_mismatch(core.config.dimensions, length));
}

PyObject* collection_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vector", "metadata", "id", "ttl"};
    static const Signature sig{"Collection.add()", names, 4, 2};
    PyObject* slots[4];
    if (!match_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::optional<std::string> id;
    std::optional<std::uint64_t> ttl;
    if (!arg_dict(slots[1], "metadata") || !arg_optional_str(slots[2], "id", id) ||
        !arg_optional_u64(slots[3], "ttl", ttl))
        return nullptr;
    std::vector<float> vector;
    std::uint64_t length = 0;
    if (!extract_vector(slots[0], vector, length)) return nullptr;
    auto metadata = dict_to_json_text(slots[1]);
    if (!metadata) return nullptr;
    if (length != vector.size()) return raise_overlong(*handle(self), length);

    auto added = without_gil(handle(self), [&](Collection& core) {
        return insert_record(core, vector, std::move(*metadata), std::move(id), ttl);
    });
    if (!added) return raise(PyExc_ValueError, added.error());
    return utf8(*added);
}

PyObject* collection_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"id", "vector", "metadata", "ttl"};
    static const Signature sig{"Collection.upsert()", names, 4, 3};
    PyObject* slots[4];
    if (!match_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::string id;
    std::optional<std::uint64_t> ttl;
    if (!arg_str(slots[0], "id", id) || !arg_dict(slots[2], "metadata") || !arg_optional_u64(slots[3], "ttl", ttl))
        return nullptr;
    std::vector<float> vector;
    std::uint64_t length = 0;
    if (!extract_vector(slots[1], vector, length)) return nullptr;
    auto metadata = dict_to_json_text(slots[2]);
    if (!metadata) return nullptr;
    if (length != vector.size()) return raise_overlong(*handle(self), length);

    auto done = without_gil(handle(self), [&](Collection& core) {
        return upsert_record(core, id, vector, std::move(*metadata), ttl);
    });
    if (!done) return raise(PyExc_ValueError, done.error());
    Py_RETURN_NONE;
}

// Calls item(obj) for every item of a sequence argument (not a str), with
// the conversion errors of a list argument named `name`.
template <class F>
bool for_each_item(PyObject* seq, const char* name, F&& item) {
    if (PyUnicode_Check(seq)) {
        raise_text(PyExc_TypeError, std::string("argument '") + name + "': Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(seq)) {
        raise_text(PyExc_TypeError, std::string("argument '") + name + "': " + cannot_convert(seq, "Sequence"));
        return false;
    }
    PyRef iterator(PyObject_GetIter(seq));
    if (!iterator) return false;
    while (PyRef obj = PyRef(PyIter_Next(iterator.get())))
        if (!item(obj.get())) return false;
    return !PyErr_Occurred();
}

// The length of a plain list or tuple, read without running Python code;
// 0 for anything else. Only for reserving room.
std::size_t known_length(PyObject* seq) {
    if (PyList_CheckExact(seq)) return static_cast<std::size_t>(PyList_GET_SIZE(seq));
    if (PyTuple_CheckExact(seq)) return static_cast<std::size_t>(PyTuple_GET_SIZE(seq));
    return 0;
}

PyObject* collection_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vectors", "metadatas", "ids", "ttls"};
    static const Signature sig{"Collection.add_batch()", names, 4, 2};
    PyObject* slots[4];
    if (!match_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::vector<PyRef> dicts;
    dicts.reserve(known_length(slots[1]));
    if (!for_each_item(slots[1], "metadatas", [&](PyObject* item) {
            if (!arg_dict(item, "metadatas")) return false;
            dicts.push_back(PyRef::borrow(item));
            return true;
        }))
        return nullptr;
    BatchInput batch;
    if (slots[2] != nullptr && slots[2] != Py_None) {
        batch.ids.emplace();
        batch.ids->reserve(known_length(slots[2]));
        if (!for_each_item(slots[2], "ids", [&](PyObject* item) {
                std::string id;
                if (!arg_str(item, "ids", id)) return false;
                batch.ids->push_back(std::move(id));
                return true;
            }))
            return nullptr;
    }
    if (slots[3] != nullptr && slots[3] != Py_None) {
        batch.ttls.emplace();
        if (!for_each_item(slots[3], "ttls", [&](PyObject* item) {
                std::optional<std::uint64_t> ttl;
                if (!arg_optional_u64(item, "ttls", ttl)) return false;
                batch.ttls->push_back(ttl);
                return true;
            }))
            return nullptr;
    }
    batch.metadata.reserve(dicts.size());
    const Collection& target = *handle(self);
    // Rows past one more than the metadatas are never read: such a batch is
    // refused for its lengths whatever they hold.
    RowsRead read;
    if (!extract_rows(slots[0], target.config.dimensions, dicts.size() + 1, batch.rows, read)) return nullptr;
    for (const PyRef& d : dicts) {
        auto text = dict_to_json_text(d.get());
        if (!text) return nullptr;
        batch.metadata.push_back(std::move(*text));
    }
    // No Python object may be let go of without the interpreter lock.
    dicts.clear();

    auto ids = without_gil(handle(self), [&](Collection& core) { return add_batch_records(core, std::move(batch)); });
    if (!ids) {
        // The first row of the wrong length is the one the batch is refused
        // for; when the conversion cut it short, its length is the sequence's.
        if (ids.error().kind() == StoreError::DimensionMismatch && read.cut_length)
            return raise_overlong(target, *read.cut_length);
        return raise(PyExc_ValueError, ids.error());
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(ids->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids->size(); ++i) {
        PyObject* s = utf8((*ids)[i]);
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* collection_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vector", "k", "where_"};
    static const Signature sig{"Collection.search()", names, 3, 2};
    PyObject* slots[3];
    if (!match_arguments(sig, args, nargs, kwnames, slots)) return nullptr;
    std::uint64_t k = 0;
    if (!arg_u64(slots[1], "k", k)) return nullptr;
    const bool has_filter = slots[2] != nullptr && slots[2] != Py_None;
    if (has_filter && !arg_dict(slots[2], "where_")) return nullptr;
    std::vector<float> query;
    std::uint64_t length = 0;
    if (!extract_vector(slots[0], query, length)) return nullptr;
    std::optional<std::vector<FilterCondition>> filter;
    if (has_filter) {
        auto where = dict_to_json_value(slots[2]);
        if (!where) return nullptr;
        filter = parse_where(*where);
    }
    if (length != query.size()) return raise_overlong(*handle(self), length);

    auto hits = without_gil(handle(self), [&](Collection& core) {
        return search_collection(core, query, k, filter ? &*filter : nullptr);
    });
    if (!hits) return raise(PyExc_ValueError, hits.error());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(hits->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hits->size(); ++i) {
        PyObject* result = new_search_result(to_search_result(std::move((*hits)[i])));
        if (result == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
    }
    return list.release();
}

PyObject* collection_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"id"};
    static const Signature sig{"Collection.get()", names, 1, 1};
    PyObject* slots[1];
    std::string id;
    if (!match_arguments(sig, args, nargs, kwnames, slots) || !arg_str(slots[0], "id", id)) return nullptr;
    auto hit = fetch_record(*handle(self), id);
    if (!hit) return raise(PyExc_ValueError, hit.error());
    if (!*hit) Py_RETURN_NONE;
    return new_search_result(to_search_result(std::move(**hit)));
}

PyObject* collection_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"id"};
    static const Signature sig{"Collection.delete()", names, 1, 1};
    PyObject* slots[1];
    std::string id;
    if (!match_arguments(sig, args, nargs, kwnames, slots) || !arg_str(slots[0], "id", id)) return nullptr;
    auto removed = delete_record(*handle(self), id);
    if (!removed) return raise(PyExc_ValueError, removed.error());
    return PyBool_FromLong(*removed ? 1 : 0);
}

PyObject* collection_compact(PyObject* self, PyObject*) {
    auto stats = compact_collection(*handle(self));
    if (!stats) return raise(PyExc_OSError, stats.error());
    return new_compact_stats(
        CompactStatsValue{stats->expired_removed, stats->tombstones_removed, stats->bytes_freed, stats->duration_ms});
}

PyObject* collection_preload(PyObject* self, PyObject*) {
    handle(self)->preload_vectors();
    Py_RETURN_NONE;
}

PyObject* collection_sync(PyObject* self, PyObject*) {
    if (auto st = sync_collection(*handle(self)); !st) return raise(PyExc_OSError, st.error());
    Py_RETURN_NONE;
}

Py_ssize_t collection_length(PyObject* self) {
    auto count = collection_len(*handle(self));
    if (!count) return raise_status(PyExc_OSError, count.error());
    if (*count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
        PyErr_SetNone(PyExc_OverflowError);
        return -1;
    }
    return static_cast<Py_ssize_t>(*count);
}

PyObject* collection_repr(PyObject* self) {
    const CollectionConfig& c = handle(self)->config;
    return utf8("Collection(name='" + c.name + "', dimensions=" + std::to_string(c.dimensions) + ", metric='" +
                std::string(metric_python_name(c.metric)) + "')");
}

PyObject* get_name(PyObject* self, void*) { return utf8(handle(self)->config.name); }
PyObject* get_metric(PyObject* self, void*) {
    return PyUnicode_FromString(std::string(metric_python_name(handle(self)->config.metric)).c_str());
}
PyObject* get_dimensions(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(handle(self)->config.dimensions);
}
PyObject* get_vectors_size_bytes(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(handle(self)->vectors_size_bytes());
}

// The one `path` argument of a method.
bool path_argument(const char* full_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& path) {
    static const char* const names[] = {"path"};
    const Signature sig{full_name, names, 1, 1};
    PyObject* slots[1];
    return match_arguments(sig, args, nargs, kwnames, slots) && arg_str(slots[0], "path", path);
}

PyObject* collection_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string path;
    if (!path_argument("Collection.export_to_file()", args, nargs, kwnames, path)) return nullptr;
    auto count = export_collection(*handle(self), path);
    if (!count) return raise(PyExc_OSError, count.error());
    return PyLong_FromUnsignedLongLong(*count);
}

PyObject* collection_import(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string path;
    if (!path_argument("Collection.import_from_file()", args, nargs, kwnames, path)) return nullptr;
    auto stats = import_collection(*handle(self), path);
    if (!stats) return raise(PyExc_OSError, stats.error());
    return new_import_stats(ImportStatsValue{stats->imported, stats->skipped, stats->failed, stats->duration_ms});
}

template <class F>
PyCFunction fastcall(F* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef collection_methods[] = {
    {"add", fastcall(guarded<collection_add, &PyExc_ValueError>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, vector, metadata, id=None, ttl=None)\n--\n\n"
     "Add a vector to the collection.\n\nArgs:\n"
     "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    metadata: Associated metadata as a dict.\n"
     "    id: Optional custom ID (auto-generated if None).\n"
     "    ttl: Optional time-to-live in seconds.\n\nReturns:\n    The record ID."},
    {"upsert", fastcall(guarded<collection_upsert, &PyExc_ValueError>), METH_FASTCALL | METH_KEYWORDS,
     "upsert($self, id, vector, metadata, ttl=None)\n--\n\n"
     "Insert or update a vector by ID.\n\n"
     "This is idempotent - calling with the same ID will replace the previous vector.\n\nArgs:\n"
     "    id: The record ID.\n"
     "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    metadata: Associated metadata as a dict.\n"
     "    ttl: Optional time-to-live in seconds."},
    {"add_batch", fastcall(guarded<collection_add_batch, &PyExc_ValueError>), METH_FASTCALL | METH_KEYWORDS,
     "add_batch($self, vectors, metadatas, ids=None, ttls=None)\n--\n\n"
     "Batch add vectors (10-100x faster than looped add).\n\nArgs:\n"
     "    vectors: A 2-D NumPy float32 array [n, dim] (fast path), or a list of vectors\n"
     "        (each a NumPy array or list of floats).\n"
     "    metadatas: List of metadata dicts.\n"
     "    ids: Optional list of custom IDs.\n"
     "    ttls: Optional list of TTLs in seconds.\n\nReturns:\n    List of record IDs."},
    {"search", fastcall(guarded<collection_search, &PyExc_ValueError>), METH_FASTCALL | METH_KEYWORDS,
     "search($self, vector, k, where_=None)\n--\n\n"
     "Search for nearest neighbors.\n\nArgs:\n"
     "    vector: The query vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    k: Number of results to return.\n"
     "    where_: Optional metadata filter as a dict.\n\nReturns:\n    List of SearchResult objects."},
    {"get", fastcall(guarded<collection_get, &PyExc_ValueError>), METH_FASTCALL | METH_KEYWORDS,
     "get($self, id)\n--\n\n"
     "Get a record by ID.\n\nArgs:\n    id: The record ID.\n\nReturns:\n"
     "    SearchResult if found and not expired, None otherwise."},
    {"delete", fastcall(guarded<collection_delete, &PyExc_ValueError>), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, id)\n--\n\n"
     "Delete a record by ID.\n\nArgs:\n    id: The record ID.\n\nReturns:\n"
     "    True if the record existed and was deleted."},
    {"compact", guarded<collection_compact, &PyExc_OSError>, METH_NOARGS,
     "compact($self)\n--\n\n"
     "Compact the collection (remove expired records, defragment storage).\n\nReturns:\n"
     "    CompactStats with details about what was cleaned up."},
    {"preload", guarded<collection_preload>, METH_NOARGS,
     "preload($self)\n--\n\nPreload vectors into memory for faster search."},
    {"sync", guarded<collection_sync, &PyExc_OSError>, METH_NOARGS, "sync($self)\n--\n\nFlush pending writes to disk."},
    {"export_to_file", fastcall(guarded<collection_export, &PyExc_OSError>), METH_FASTCALL | METH_KEYWORDS,
     "export_to_file($self, path)\n--\n\n"
     "Export the collection to a file.\n\n"
     "Creates an NDJSON file with all records including vectors and metadata.\n\nArgs:\n"
     "    path: Output file path.\n\nReturns:\n    Number of records exported."},
    {"import_from_file", fastcall(guarded<collection_import, &PyExc_OSError>), METH_FASTCALL | METH_KEYWORDS,
     "import_from_file($self, path)\n--\n\n"
     "Import records from a file.\n\n"
     "Reads an NDJSON file and imports all records. The file must have\n"
     "matching dimensions to this collection.\n\nArgs:\n"
     "    path: Input file path.\n\nReturns:\n    ImportStats with details about the import."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef collection_getset[] = {
    {"vectors_size_bytes", guarded<get_vectors_size_bytes>, nullptr, "Vector storage size in bytes.", nullptr},
    {"dimensions", guarded<get_dimensions>, nullptr, "Collection dimensions.", nullptr},
    {"name", guarded<get_name>, nullptr, "Collection name.", nullptr},
    {"metric", guarded<get_metric>, nullptr, "Distance metric (cosine, dot, l2).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<CollectionHandle>)},
    {Py_tp_doc, const_cast<char*>("A collection of vectors with associated metadata.")},
    {Py_tp_methods, collection_methods},
    {Py_tp_getset, collection_getset},
    {Py_mp_length, reinterpret_cast<void*>(guarded<collection_length, &PyExc_OSError>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<collection_repr>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {0, nullptr},
};

}  // namespace

PyType_Spec* collection_spec() {
    static PyType_Spec spec{"builtins.Collection", static_cast<int>(sizeof(Boxed<CollectionHandle>)), 0,
                            Py_TPFLAGS_DEFAULT, collection_slots};
    return &spec;
}

PyObject* new_collection_object(CollectionHandle core) { return box(ClassId::Collection, std::move(core)); }

}  // namespace tessello::py
