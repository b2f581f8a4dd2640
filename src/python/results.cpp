#include "python/results.h"

#include <cmath>
#include <cstdio>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "python/boundary.h"
#include "python/classes.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace tessello::py {

std::string format_score(float score) {
    if (std::isnan(score)) return "NaN";
    if (std::isinf(score)) return score > 0 ? "inf" : "-inf";
    // The float widens exactly to a double, and printf rounds its exact
    // binary value to nearest, ties to even.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(score));
    return buf;
}

namespace {

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// ---- SearchResult ----------------------------------------------------------

PyObject* result_id(PyObject* self, void*) { return text(unbox<SearchResultValue>(self).id); }

PyObject* result_score(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(unbox<SearchResultValue>(self).score));
}

PyObject* result_metadata(PyObject* self, void*) {
    auto parsed = parse_json(unbox<SearchResultValue>(self).metadata);
    if (!parsed) {
        return raise_text(PyExc_ValueError, "Invalid metadata JSON: " + parsed.error().message());
    }
    PyRef json(PyImport_ImportModule("json"));
    if (!json) return nullptr;
    std::string compact;
    compact.reserve(128);
    write_json(*parsed, compact);
    PyRef loads(PyObject_GetAttrString(json.get(), "loads"));
    if (!loads) return nullptr;
    PyRef arg(text(compact));
    if (!arg) return nullptr;
    return PyObject_CallOneArg(loads.get(), arg.get());
}

PyObject* result_repr(PyObject* self) {
    const auto& v = unbox<SearchResultValue>(self);
    return text("SearchResult(id='" + v.id + "', score=" + format_score(v.score) + ", metadata=" + v.metadata + ")");
}

PyGetSetDef result_getset[] = {
    {"id", guarded<result_id>, nullptr, "Record ID.", nullptr},
    {"score", guarded<result_score>, nullptr, "Similarity/distance score.", nullptr},
    {"metadata", guarded<result_metadata, &PyExc_ValueError>, nullptr, "Get the metadata as a Python dict.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- the statistics classes ---------------------------------------------------

// A getter per u64 field, made from a pointer to the member.
template <class T, std::uint64_t T::*Field>
PyObject* u64_field(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(unbox<T>(self).*Field);
}

template <class T>
PyObject* stats_repr(PyObject* self);

std::string num(std::uint64_t v) { return std::to_string(v); }

template <>
PyObject* stats_repr<CompactStatsValue>(PyObject* self) {
    const auto& v = unbox<CompactStatsValue>(self);
    return text("CompactStats(expired_removed=" + num(v.expired_removed) + ", tombstones_removed=" +
                num(v.tombstones_removed) + ", bytes_freed=" + num(v.bytes_freed) + ", duration_ms=" +
                num(v.duration_ms) + ")");
}

template <>
PyObject* stats_repr<RecoveryStatsValue>(PyObject* self) {
    const auto& v = unbox<RecoveryStatsValue>(self);
    return text("RecoveryStats(promoted=" + num(v.promoted) + ", rolled_back=" + num(v.rolled_back) +
                ", tombstones=" + num(v.tombstones) + ")");
}

template <>
PyObject* stats_repr<ImportStatsValue>(PyObject* self) {
    const auto& v = unbox<ImportStatsValue>(self);
    return text("ImportStats(imported=" + num(v.imported) + ", skipped=" + num(v.skipped) + ", failed=" +
                num(v.failed) + ", duration_ms=" + num(v.duration_ms) + ")");
}

PyGetSetDef compact_getset[] = {
    {"expired_removed", u64_field<CompactStatsValue, &CompactStatsValue::expired_removed>, nullptr,
     "Number of expired records removed.", nullptr},
    {"tombstones_removed", u64_field<CompactStatsValue, &CompactStatsValue::tombstones_removed>, nullptr,
     "Number of tombstone records removed.", nullptr},
    {"bytes_freed", u64_field<CompactStatsValue, &CompactStatsValue::bytes_freed>, nullptr,
     "Bytes freed (approximate).", nullptr},
    {"duration_ms", u64_field<CompactStatsValue, &CompactStatsValue::duration_ms>, nullptr,
     "Duration in milliseconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef recovery_getset[] = {
    {"promoted", u64_field<RecoveryStatsValue, &RecoveryStatsValue::promoted>, nullptr,
     "Records promoted from Pending to Active.", nullptr},
    {"rolled_back", u64_field<RecoveryStatsValue, &RecoveryStatsValue::rolled_back>, nullptr,
     "Records rolled back (incomplete writes).", nullptr},
    {"tombstones", u64_field<RecoveryStatsValue, &RecoveryStatsValue::tombstones>, nullptr,
     "Tombstone records found.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef import_getset[] = {
    {"imported", u64_field<ImportStatsValue, &ImportStatsValue::imported>, nullptr,
     "Number of records successfully imported.", nullptr},
    {"skipped", u64_field<ImportStatsValue, &ImportStatsValue::skipped>, nullptr, "Number of records skipped.",
     nullptr},
    {"failed", u64_field<ImportStatsValue, &ImportStatsValue::failed>, nullptr,
     "Number of records that failed to import.", nullptr},
    {"duration_ms", u64_field<ImportStatsValue, &ImportStatsValue::duration_ms>, nullptr,
     "Duration in milliseconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The slots of a value class: its value released on dealloc, read-only
// attributes, a representation and the refusing constructor.
template <class T>
PyType_Spec make_spec(const char* name, const char* doc, PyGetSetDef* getset, reprfunc repr) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<T>)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_getset, getset},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {0, nullptr},
    };
    return PyType_Spec{name, static_cast<int>(sizeof(Boxed<T>)), 0, Py_TPFLAGS_DEFAULT, slots};
}

}  // namespace

PyType_Spec* search_result_spec() {
    static PyType_Spec spec = make_spec<SearchResultValue>("builtins.SearchResult", "Search result from a vector query.",
                                                      result_getset, guarded<result_repr>);
    return &spec;
}
PyType_Spec* compact_stats_spec() {
    static PyType_Spec spec = make_spec<CompactStatsValue>("builtins.CompactStats", "Statistics from a compaction operation.",
                                                      compact_getset, guarded<stats_repr<CompactStatsValue>>);
    return &spec;
}
PyType_Spec* recovery_stats_spec() {
    static PyType_Spec spec = make_spec<RecoveryStatsValue>("builtins.RecoveryStats", "Statistics from crash recovery.",
                                                       recovery_getset, guarded<stats_repr<RecoveryStatsValue>>);
    return &spec;
}
PyType_Spec* import_stats_spec() {
    static PyType_Spec spec = make_spec<ImportStatsValue>("builtins.ImportStats", "Statistics from an import operation.",
                                                     import_getset, guarded<stats_repr<ImportStatsValue>>);
    return &spec;
}

PyObject* new_search_result(SearchResultValue value) { return box(ClassId::SearchResult, std::move(value)); }
PyObject* new_compact_stats(CompactStatsValue value) { return box(ClassId::CompactStats, value); }
PyObject* new_recovery_stats(RecoveryStatsValue value) { return box(ClassId::RecoveryStats, value); }
PyObject* new_import_stats(ImportStatsValue value) { return box(ClassId::ImportStats, value); }

}  // namespace tessello::py
