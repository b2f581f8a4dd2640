"""The module object and its six classes as the interpreter sees them."""

import gc
import importlib
import sys
import types

import numpy as np
import pytest

import tessello
from support import run_python

CLASS_NAMES = [
    "Tessello",
    "Collection",
    "SearchResult",
    "CompactStats",
    "RecoveryStats",
    "ImportStats",
]
REFUSING = CLASS_NAMES[1:]

MODULE_DOC = (
    "Tessello Python module.\n\n"
    "A lightweight, serverless vector database for AI agent memory."
)

CLASS_DOCS = {
    "Tessello": "Tessello vector database.\n\n"
    "A lightweight, serverless, single-file vector database for AI agent memory.",
    "Collection": "A collection of vectors with associated metadata.",
    "SearchResult": "Search result from a vector query.",
    "CompactStats": "Statistics from a compaction operation.",
    "RecoveryStats": "Statistics from crash recovery.",
    "ImportStats": "Statistics from an import operation.",
}

# Methods of this wave: (class, member) -> (text signature, docstring).
METHODS = {
    ("Tessello", "collection"): (
        '($self, name, dim, metric="cosine")',
        "Get or create a collection.\n\nArgs:\n    name: Collection name.\n"
        "    dim: Vector dimensions.\n"
        '    metric: Distance metric ("cosine", "dot", or "l2").\n\n'
        "Returns:\n    The Collection object.",
    ),
    ("Tessello", "get_collection"): (
        "($self, name)",
        "Get an existing collection.\n\nArgs:\n    name: Collection name.\n\n"
        "Returns:\n    The Collection object.\n\n"
        "Raises:\n    KeyError: If collection does not exist.",
    ),
    ("Tessello", "collections"): (
        "($self)",
        "List all collection names.\n\nReturns:\n    List of collection names.",
    ),
    ("Tessello", "drop_collection"): (
        "($self, name)",
        "Delete a collection and all its data.\n\nArgs:\n    name: Collection name.",
    ),
    ("Tessello", "sync"): ("($self)", "Flush all pending writes to disk."),
    ("Tessello", "recovery_stats"): (
        "($self)",
        "Get recovery statistics from database open.\n\n"
        "Returns:\n    RecoveryStats with details about crash recovery.",
    ),
    ("Collection", "add"): (
        "($self, vector, metadata, id=None, ttl=None)",
        "Add a vector to the collection.\n\nArgs:\n"
        "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
        "    metadata: Associated metadata as a dict.\n"
        "    id: Optional custom ID (auto-generated if None).\n"
        "    ttl: Optional time-to-live in seconds.\n\n"
        "Returns:\n    The record ID.",
    ),
    ("Collection", "search"): (
        "($self, vector, k, where_=None)",
        "Search for nearest neighbors.\n\nArgs:\n"
        "    vector: The query vector as a NumPy float32 array (fast path) or a list of floats.\n"
        "    k: Number of results to return.\n"
        "    where_: Optional metadata filter as a dict.\n\n"
        "Returns:\n    List of SearchResult objects.",
    ),
    ("Collection", "get"): (
        "($self, id)",
        "Get a record by ID.\n\nArgs:\n    id: The record ID.\n\n"
        "Returns:\n    SearchResult if found and not expired, None otherwise.",
    ),
    ("Collection", "preload"): (
        "($self)",
        "Preload vectors into memory for faster search.",
    ),
    ("Collection", "sync"): ("($self)", "Flush pending writes to disk."),
}

ATTRIBUTES = {
    ("Collection", "vectors_size_bytes"): "Vector storage size in bytes.",
    ("Collection", "dimensions"): "Collection dimensions.",
    ("Collection", "name"): "Collection name.",
    ("Collection", "metric"): "Distance metric (cosine, dot, l2).",
    ("SearchResult", "id"): "Record ID.",
    ("SearchResult", "score"): "Similarity/distance score.",
    ("SearchResult", "metadata"): "Get the metadata as a Python dict.",
    ("CompactStats", "expired_removed"): "Number of expired records removed.",
    ("CompactStats", "tombstones_removed"): "Number of tombstone records removed.",
    ("CompactStats", "bytes_freed"): "Bytes freed (approximate).",
    ("CompactStats", "duration_ms"): "Duration in milliseconds.",
    ("RecoveryStats", "promoted"): "Records promoted from Pending to Active.",
    ("RecoveryStats", "rolled_back"): "Records rolled back (incomplete writes).",
    ("RecoveryStats", "tombstones"): "Tombstone records found.",
    ("ImportStats", "imported"): "Number of records successfully imported.",
    ("ImportStats", "skipped"): "Number of records skipped.",
    ("ImportStats", "failed"): "Number of records that failed to import.",
    ("ImportStats", "duration_ms"): "Duration in milliseconds.",
}


@pytest.fixture
def instances(db, make_coll):
    """One live instance of every class that can be reached in this wave."""
    coll = make_coll(dim=2, metric="dot")
    coll.add([1.0, 0.0], {"k": 1}, id="a")
    return {
        "Tessello": db,
        "Collection": coll,
        "SearchResult": coll.get("a"),
        "RecoveryStats": db.recovery_stats(),
    }


class TestModuleObject:
    def test_name_doc_and_all(self):
        assert tessello.__name__ == "tessello"
        assert tessello.__doc__ == MODULE_DOC
        assert tessello.__all__ == CLASS_NAMES
        assert type(tessello.__all__) is list

    def test_only_the_six_classes_and_no_functions(self):
        public = {n for n in dir(tessello) if not n.startswith("__")}
        assert public == set(CLASS_NAMES)
        for n in dir(tessello):
            value = getattr(tessello, n)
            assert not isinstance(
                value, (types.BuiltinFunctionType, types.FunctionType)
            ), n
        for n in CLASS_NAMES:
            assert isinstance(getattr(tessello, n), type)

    def test_reimport_gives_identical_module_and_classes(self):
        first = sys.modules["tessello"]
        classes = [getattr(first, n) for n in CLASS_NAMES]
        del sys.modules["tessello"]
        try:
            again = importlib.import_module("tessello")
        finally:
            sys.modules["tessello"] = first
        assert again is first
        assert [getattr(again, n) for n in CLASS_NAMES] == classes
        assert all(a is b for a, b in zip(classes, [getattr(again, n) for n in CLASS_NAMES]))
        assert again.__all__ == CLASS_NAMES

    def test_second_subinterpreter_import_raises_import_error(self):
        try:
            import _xxsubinterpreters  # noqa: F401
        except ImportError:
            pytest.skip("this interpreter has no _xxsubinterpreters")
        # In a fresh process: the main interpreter imports first, then a
        # subinterpreter must be refused (the module is single-phase).
        code = r"""
import os, tempfile
import _xxsubinterpreters as interpreters
import tessello
out = os.path.join(tempfile.mkdtemp(), "result")
interp = interpreters.create()
interpreters.run_string(interp, f'''
import sys
sys.path.insert(0, {sys.path[0]!r})
try:
    import tessello
    result = "imported"
except ImportError as e:
    result = "ImportError:" + str(e)
except BaseException as e:
    result = "other:" + type(e).__name__ + ":" + str(e)
with open({out!r}, "w") as f:
    f.write(result)
''')
print(open(out).read())
import tessello as again
assert again is tessello
print("main-ok")
"""
        proc = run_python(code)
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        assert lines[0].startswith("ImportError:"), lines
        assert lines[0] != "ImportError:"  # the message says why
        assert lines[-1] == "main-ok"


class TestClasses:
    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_names_module_and_docstring(self, name):
        cls = getattr(tessello, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__doc__ == CLASS_DOCS[name]

    def test_text_signatures(self):
        assert tessello.Tessello.__text_signature__ == "(path)"
        for name in REFUSING:
            assert getattr(tessello, name).__text_signature__ is None

    @pytest.mark.parametrize("name", REFUSING)
    @pytest.mark.parametrize(
        "args,kwargs", [((), {}), ((1, "x"), {}), ((), {"id": "a"})]
    )
    def test_refusing_constructors(self, name, args, kwargs):
        cls = getattr(tessello, name)
        with pytest.raises(TypeError) as e:
            cls(*args, **kwargs)
        assert e.value.args == (f"No constructor defined for {name}",)

    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_cannot_be_subclassed(self, name):
        with pytest.raises(TypeError):
            type("Derived", (getattr(tessello, name),), {})

    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_not_garbage_collected_types(self, name):
        Py_TPFLAGS_HAVE_GC = 1 << 14
        assert not getattr(tessello, name).__flags__ & Py_TPFLAGS_HAVE_GC

    @pytest.mark.parametrize(
        "key", sorted(METHODS), ids=lambda k: f"{k[0]}.{k[1]}"
    )
    def test_method_signature_and_doc(self, key):
        signature, doc = METHODS[key]
        method = getattr(getattr(tessello, key[0]), key[1])
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
        assert method.__name__ == key[1]

    @pytest.mark.parametrize(
        "key", sorted(ATTRIBUTES), ids=lambda k: f"{k[0]}.{k[1]}"
    )
    def test_attribute_doc_and_read_only(self, key):
        descriptor = getattr(tessello, key[0]).__dict__[key[1]]
        assert descriptor.__doc__ == ATTRIBUTES[key]
        assert hasattr(descriptor, "__get__")
        assert type(descriptor).__name__ == "getset_descriptor"


class TestInstances:
    @pytest.mark.parametrize(
        "cls,attr",
        [
            ("Collection", "name"),
            ("Collection", "metric"),
            ("Collection", "dimensions"),
            ("Collection", "vectors_size_bytes"),
            ("SearchResult", "id"),
            ("SearchResult", "score"),
            ("SearchResult", "metadata"),
            ("RecoveryStats", "promoted"),
            ("RecoveryStats", "rolled_back"),
            ("RecoveryStats", "tombstones"),
        ],
    )
    def test_attributes_cannot_be_set_or_deleted(self, instances, cls, attr):
        obj = instances[cls]
        before = getattr(obj, attr)
        with pytest.raises(AttributeError):
            setattr(obj, attr, before)
        with pytest.raises(AttributeError):
            delattr(obj, attr)
        assert getattr(obj, attr) == before

    @pytest.mark.parametrize("cls", ["Tessello", "Collection", "SearchResult", "RecoveryStats"])
    def test_no_instance_dict_and_no_new_attributes(self, instances, cls):
        obj = instances[cls]
        assert type(obj) is getattr(tessello, cls)
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not gc.is_tracked(obj)

    def test_identity_equality_and_hashing(self, instances):
        coll = instances["Collection"]
        r1, r2 = coll.get("a"), coll.get("a")
        assert r1 == r1 and r1 != r2
        assert len({r1, r2, r1}) == 2
        with pytest.raises(TypeError):
            r1 < r2

    def test_str_is_repr(self, instances):
        for obj in instances.values():
            assert str(obj) == repr(obj)

    def test_instance_methods_require_their_class(self, instances):
        with pytest.raises(TypeError):
            tessello.Collection.preload(instances["Tessello"])
        with pytest.raises(TypeError):
            tessello.Tessello.sync(np.zeros(1))
