"""Argument matching, per-kind conversions, vectors and metadata dictionaries."""

import collections
import decimal
import fractions
import math
import re

import numpy as np
import pytest

import tessello
from support import stored_components

V4 = [1.0, 0.0, 0.0, 0.0]


class Holder:
    class Thing:
        """A type whose qualified name differs from its plain name."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.fixture
def coll(make_coll):
    return make_coll(dim=4, metric="dot")


def target(db, coll, name):
    if name == "Tessello":
        return tessello.Tessello
    owner, method = name.split(".")
    return getattr(db if owner == "db" else coll, method)


ARGUMENT_ERRORS = [
    # too many positional arguments, with optional parameters
    ("coll.add", (V4, {}, None, None, 5), {},
     "Collection.add() takes from 2 to 4 positional arguments but 5 were given"),
    ("coll.search", (V4, 1, None, 4), {},
     "Collection.search() takes from 2 to 3 positional arguments but 4 were given"),
    ("db.collection", ("a", 4, "cosine", 1), {},
     "Tessello.collection() takes from 2 to 3 positional arguments but 4 were given"),
    # too many positional arguments, no optional parameter
    ("coll.get", ("a", "b"), {},
     "Collection.get() takes 1 positional arguments but 2 were given"),
    ("coll.get", ("a", "b", "c"), {},
     "Collection.get() takes 1 positional arguments but 3 were given"),
    ("db.get_collection", ("a", "b"), {},
     "Tessello.get_collection() takes 1 positional arguments but 2 were given"),
    ("db.drop_collection", ("a", "b"), {},
     "Tessello.drop_collection() takes 1 positional arguments but 2 were given"),
    # unknown keyword
    ("coll.add", (V4, {}), {"ids": ["x"]},
     "Collection.add() got an unexpected keyword argument 'ids'"),
    ("coll.search", (V4,), {"where": {}, "k": 1},
     "Collection.search() got an unexpected keyword argument 'where'"),
    ("coll.get", (), {"key": "a"},
     "Collection.get() got an unexpected keyword argument 'key'"),
    ("db.drop_collection", (), {"names": "a"},
     "Tessello.drop_collection() got an unexpected keyword argument 'names'"),
    # the same parameter by position and by keyword
    ("coll.add", (V4, {}), {"vector": V4},
     "Collection.add() got multiple values for argument 'vector'"),
    ("coll.search", (V4, 1), {"k": 1},
     "Collection.search() got multiple values for argument 'k'"),
    ("db.collection", ("a", 4), {"name": "b"},
     "Tessello.collection() got multiple values for argument 'name'"),
    # missing required parameters
    ("coll.add", (V4,), {},
     "Collection.add() missing 1 required positional argument: 'metadata'"),
    ("coll.add", (), {"metadata": {}},
     "Collection.add() missing 1 required positional argument: 'vector'"),
    ("coll.add", (), {},
     "Collection.add() missing 2 required positional arguments: 'vector' and 'metadata'"),
    ("coll.add", (), {"id": "x", "ttl": 3},
     "Collection.add() missing 2 required positional arguments: 'vector' and 'metadata'"),
    ("coll.search", (), {},
     "Collection.search() missing 2 required positional arguments: 'vector' and 'k'"),
    ("coll.search", (), {"where_": {}, "vector": V4},
     "Collection.search() missing 1 required positional argument: 'k'"),
    ("coll.get", (), {},
     "Collection.get() missing 1 required positional argument: 'id'"),
    ("db.collection", ("a",), {},
     "Tessello.collection() missing 1 required positional argument: 'dim'"),
    ("db.collection", (), {"metric": "dot"},
     "Tessello.collection() missing 2 required positional arguments: 'name' and 'dim'"),
    ("db.get_collection", (), {},
     "Tessello.get_collection() missing 1 required positional argument: 'name'"),
]


@pytest.mark.parametrize(
    "name,args,kwargs,message",
    ARGUMENT_ERRORS,
    ids=[f"{r[0]}-{i}" for i, r in enumerate(ARGUMENT_ERRORS)],
)
def test_argument_matching_errors(db, coll, name, args, kwargs, message):
    before = len(coll)
    with pytest.raises(TypeError) as e:
        target(db, coll, name)(*args, **kwargs)
    assert e.value.args == (message,)
    assert len(coll) == before
    assert db.collections() == [coll.name]


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, r"missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, r"takes 1 positional arguments but 2 were given"),
        ((), {"dir": "a"}, r"got an unexpected keyword argument 'dir'"),
    ],
)
def test_constructor_argument_errors(tmp_path, monkeypatch, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as e:
        tessello.Tessello(*args, **kwargs)
    assert re.fullmatch(r"Tessello\.\w+\(\) " + message, e.value.args[0]), e.value.args


def test_keyword_arguments_are_accepted_everywhere(tmp_path):
    db = tessello.Tessello(path=str(tmp_path / "kw"))
    coll = db.collection(metric="dot", dim=4, name="kw")
    assert db.get_collection(name="kw").name == "kw"
    rid = coll.add(ttl=None, id="r", metadata={"x": 1}, vector=V4)
    assert rid == "r"
    assert [r.id for r in coll.search(where_=None, k=1, vector=V4)] == ["r"]
    assert coll.get(id="r").metadata == {"x": 1}
    assert db.drop_collection(name="kw") is None


@pytest.mark.parametrize(
    "name,args",
    [
        ("db.sync", (1,)),
        ("db.collections", ("x",)),
        ("db.recovery_stats", (None,)),
        ("coll.sync", (1,)),
        ("coll.preload", (1,)),
    ],
)
def test_methods_without_arguments_refuse_arguments(db, coll, name, args):
    with pytest.raises(TypeError):
        target(db, coll, name)(*args)


# Conversion failures of str, dict and unsigned parameters.
CONVERSION_ERRORS = [
    ("db.collection", (5, 4), {},
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("db.collection", (b"a", 4), {},
     "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    ("db.collection", ("a", 4, None), {},
     "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"),
    ("db.collection", ("a", 4.0), {},
     "argument 'dim': 'float' object cannot be interpreted as an integer"),
    ("db.collection", ("a", "4"), {},
     "argument 'dim': 'str' object cannot be interpreted as an integer"),
    ("db.collection", ("a", None), {},
     "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
    ("db.collection", (5, -1, 7), {},
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("db.get_collection", (None,), {},
     "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    ("db.drop_collection", (1.5,), {},
     "argument 'name': 'float' object cannot be converted to 'PyString'"),
    ("coll.get", (5,), {},
     "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("coll.get", (Holder.Thing(),), {},
     "argument 'id': 'Holder.Thing' object cannot be converted to 'PyString'"),
    ("coll.add", (V4, {}), {"id": 5},
     "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("coll.add", (V4, [("a", 1)]), {},
     "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
    ("coll.add", (V4, None), {},
     "argument 'metadata': 'NoneType' object cannot be converted to 'PyDict'"),
    ("coll.add", (V4, Holder.Thing()), {},
     "argument 'metadata': 'Holder.Thing' object cannot be converted to 'PyDict'"),
    ("coll.add", (V4, {}), {"ttl": 1.5},
     "argument 'ttl': 'float' object cannot be interpreted as an integer"),
    ("coll.add", (V4, {}), {"ttl": "5"},
     "argument 'ttl': 'str' object cannot be interpreted as an integer"),
    ("coll.search", (V4, 1.0), {},
     "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("coll.search", (V4, None), {},
     "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
    ("coll.search", (V4, 1, []), {},
     "argument 'where_': 'list' object cannot be converted to 'PyDict'"),
    ("coll.search", (V4, 1, "a"), {},
     "argument 'where_': 'str' object cannot be converted to 'PyDict'"),
    # parameters are converted in order, before any vector or dictionary body
    ("coll.add", ("abc", []), {},
     "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
    ("coll.add", ("abc", {"s": {1}}), {"id": 7},
     "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("coll.search", ("abc", 1, []), {},
     "argument 'where_': 'list' object cannot be converted to 'PyDict'"),
    ("coll.search", (5, "k", {"s": {1}}), {},
     "argument 'k': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize(
    "name,args,kwargs,message",
    CONVERSION_ERRORS,
    ids=[f"{r[0]}-{i}" for i, r in enumerate(CONVERSION_ERRORS)],
)
def test_conversion_errors(db, coll, name, args, kwargs, message):
    before = len(coll)
    with pytest.raises(TypeError) as e:
        target(db, coll, name)(*args, **kwargs)
    assert type(e.value) is TypeError
    assert e.value.args == (message,)
    assert len(coll) == before
    assert db.collections() == [coll.name]


def test_path_must_be_str(tmp_path):
    with pytest.raises(TypeError) as e:
        tessello.Tessello(tmp_path / "p")
    assert e.value.args == (
        f"argument 'path': '{type(tmp_path).__qualname__}' object cannot be "
        "converted to 'PyString'",
    )
    assert not (tmp_path / "p").exists()


@pytest.mark.parametrize(
    "name,args,kwargs",
    [
        ("db.collection", ("a", -1), {}),
        ("db.collection", ("a", 2**64), {}),
        ("db.collection", ("a", Index(-5)), {}),
        ("db.collection", ("a", 2**200), {}),
        ("coll.add", (V4, {}), {"ttl": -1}),
        ("coll.add", (V4, {}), {"ttl": 2**64}),
        ("coll.search", (V4, -1), {}),
        ("coll.search", ("abc", -1), {}),
        ("coll.search", (V4, -(2**70)), {}),
    ],
)
def test_unsigned_out_of_range_raises_overflow_error(db, coll, name, args, kwargs):
    before = len(coll)
    with pytest.raises(OverflowError) as e:
        target(db, coll, name)(*args, **kwargs)
    assert not str(e.value).startswith("argument")
    assert len(coll) == before
    assert db.collections() == [coll.name]


@pytest.mark.parametrize(
    "exc",
    [ValueError("index boom"), TypeErrorSubclass("sub boom"), ZeroDivisionError("z")],
)
def test_index_exceptions_other_than_type_error_pass_unchanged(db, exc):
    with pytest.raises(type(exc)) as e:
        db.collection("a", RaisingIndex(exc))
    assert e.value is exc
    assert db.collections() == []


def test_index_type_error_gets_the_argument_prefix(db):
    root = KeyError("root")
    original = TypeError("index boom")
    original.__cause__ = root
    with pytest.raises(TypeError) as e:
        db.collection("a", RaisingIndex(original))
    assert e.value is not original
    assert e.value.args == ("argument 'dim': index boom",)
    # The replacement carries the cause of the error it replaces.
    assert e.value.__cause__ is root
    with pytest.raises(TypeError) as e:
        db.collection("a", 2.5)
    assert e.value.__cause__ is None


@pytest.mark.parametrize(
    "dim,expected",
    [(Index(4), 4), (True, 1), (np.int64(3), 3), (np.uint16(2), 2), (5, 5)],
)
def test_unsigned_accepts_index_objects_and_bools(db, dim, expected):
    coll = db.collection("n", dim)
    assert coll.dimensions == expected
    assert type(coll.dimensions) is int


def test_full_u64_range_reaches_the_operation(db):
    with pytest.raises(ValueError) as e:
        db.collection("a", 2**64 - 1)
    assert e.value.args == (
        "Dimensions too large: maximum is 65536, got 18446744073709551615",
    )


def test_ttl_and_k_accept_index_objects_and_bools(coll):
    coll.add(V4, {}, id="live", ttl=Index(3600))
    coll.add(V4, {}, id="dead", ttl=False)  # a ttl of 0: expired at once
    assert coll.get("live") is not None
    assert coll.get("dead") is None
    assert [r.id for r in coll.search(V4, Index(5))] == ["live"]
    assert [r.id for r in coll.search(V4, True)] == ["live"]
    assert coll.search(V4, False) == []


def test_str_and_dict_subclasses_are_accepted(db):
    class S(str):
        pass

    class D(dict):
        pass

    coll = db.collection(S("sub"), 4, S("DOT"))
    assert coll.name == "sub" and type(coll.name) is str
    assert coll.metric == "dot"
    rid = coll.add(V4, D(a=1), id=S("r"))
    assert rid == "r" and type(rid) is str
    coll.add(V4, collections.OrderedDict(b=2), id="q")
    assert coll.get(S("r")).metadata == {"a": 1}
    assert [r.id for r in coll.search(V4, 5, D(b=2))] == ["q"]


@pytest.mark.parametrize(
    "name,args,kwargs",
    [
        ("coll.get", ("\ud800",), {}),
        ("coll.add", (V4, {}), {"id": "x\udfff"}),
        ("db.collection", ("\udc80", 4), {}),
        ("db.collection", ("a", 4, "dot\ud800"), {}),
        ("db.get_collection", ("\ud800",), {}),
        ("db.drop_collection", ("\ud800",), {}),
    ],
)
def test_lone_surrogates_raise_unicode_encode_error(db, coll, name, args, kwargs):
    before = len(coll)
    with pytest.raises(UnicodeEncodeError):
        target(db, coll, name)(*args, **kwargs)
    assert len(coll) == before
    assert db.collections() == [coll.name]


class TestExtractVector:
    @pytest.mark.parametrize(
        "vector,expected",
        [
            # contiguous float32: copied bit for bit
            (np.array([0.1, -2.5, 3.0e38, 1.17549435e-38], np.float32),
             [0.1, -2.5, 3.0e38, 1.17549435e-38]),
            # float64: each value rounded to the nearest float32
            (np.array([0.1, 1 / 3, -7.000000001, 1e-3]), [0.1, 1 / 3, -7.000000001, 1e-3]),
            # non-contiguous float32 view: the view's values
            (np.arange(8, dtype=np.float32)[::2] * np.float32(1.5), [0.0, 3.0, 6.0, 9.0]),
            (np.arange(8, dtype=np.float32)[::-2], [7.0, 5.0, 3.0, 1.0]),
            # non-contiguous float64 view goes through the sequence path
            (np.arange(8, dtype=np.float64)[1::2] / 3, [1 / 3, 1.0, 5 / 3, 7 / 3]),
            # other sequences
            ([1, 2, 3, 4], [1, 2, 3, 4]),
            ((0.25, -1, True, 2**40), [0.25, -1, 1, 2**40]),
            ([np.float32(0.1), np.float64(0.2), fractions.Fraction(1, 3), decimal.Decimal("0.4")],
             [0.1, 0.2, 1 / 3, 0.4]),
            ([Index(2), Index(-3), 0.5, 1e-30], [2, -3, 0.5, 1e-30]),
            (np.array([1, 2, 3, 4], np.int64), [1, 2, 3, 4]),
            (np.array([0.5, 0.25, 1.5, 2], np.float16), [0.5, 0.25, 1.5, 2]),
            (np.array([[1.5], [2.5], [3.5], [4.5]], np.float32), [1.5, 2.5, 3.5, 4.5]),
            (np.asfortranarray(np.array([1, 2, 3, 4], np.float32)), [1, 2, 3, 4]),
        ],
        ids=[
            "f32", "f64-rounded", "f32-strided", "f32-reversed", "f64-strided",
            "ints", "tuple-mixed", "number-types", "index-objects", "int-array",
            "f16-array", "column-2d", "fortran",
        ],
    )
    @pytest.mark.filterwarnings("ignore::DeprecationWarning")
    def test_stored_values(self, coll, vector, expected):
        coll.add(vector, {}, id="v")
        got = stored_components(coll, 4)
        want = np.array(expected, dtype=np.float64).astype(np.float32).astype(np.float64)
        assert got.tolist() == want.tolist()

    @pytest.mark.parametrize("value,expected", [(1e300, math.inf), (-1e39, -math.inf)])
    def test_float64_overflow_becomes_infinity(self, coll, value, expected):
        coll.add(np.array([value, 0, 0, 0], np.float64), {}, id="big")
        hits = coll.search([1.0, 0, 0, 0], 1)
        assert [h.id for h in hits] == ["big"]
        assert hits[0].score == expected

    def test_arrays_are_copied_before_the_call_returns(self, coll):
        vector = np.array([1, 2, 3, 4], np.float32)
        coll.add(vector, {}, id="v")
        vector[:] = 100
        assert stored_components(coll, 4).tolist() == [1, 2, 3, 4]

    class LenRaises:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i >= 4:
                raise IndexError(i)
            return float(i)

    class IterRaises:
        def __len__(self):
            return 4

        def __getitem__(self, i):
            if i == 2:
                raise RuntimeError("iteration broke")
            return 1.0

    class FloatRaises:
        def __float__(self):
            raise ValueError("float broke")

    def test_sequence_length_failure_is_ignored(self, coll):
        coll.add(self.LenRaises(), {}, id="v")
        assert stored_components(coll, 4).tolist() == [0, 1, 2, 3]

    @pytest.mark.parametrize(
        "vector,exc,message",
        [
            ("abc", TypeError, "Can't extract `str` to `Vec`"),
            ("", TypeError, "Can't extract `str` to `Vec`"),
            (np.str_("1234"), TypeError, "Can't extract `str` to `Vec`"),
            (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
            (1.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
            (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
            ({0: 1.0, 1: 2.0, 2: 3.0, 3: 4.0}, TypeError,
             "'dict' object cannot be converted to 'Sequence'"),
            ({1.0, 2.0, 3.0, 4.0}, TypeError, "'set' object cannot be converted to 'Sequence'"),
            ((x for x in V4), TypeError, "'generator' object cannot be converted to 'Sequence'"),
            (np.float32(1.0), TypeError, "'float32' object cannot be converted to 'Sequence'"),
            (Holder.Thing(), TypeError,
             "'Holder.Thing' object cannot be converted to 'Sequence'"),
            ([1.0, "x", 2.0, 3.0], TypeError, "must be real number, not str"),
            ([1.0, 2.0, None, 3.0], TypeError, "must be real number, not NoneType"),
            ([1.0, [2.0], 3.0, 4.0], TypeError, "must be real number, not list"),
            ([1.0, FloatRaises(), 3.0, 4.0], ValueError, "float broke"),
            (IterRaises(), RuntimeError, "iteration broke"),
            (np.zeros((2, 4), np.float32), TypeError, None),
            (np.zeros((4, 4), np.float64), TypeError, None),
            (np.array(1.0, np.float32), TypeError, None),
        ],
        ids=[
            "str", "empty-str", "np-str", "int", "float", "none", "dict", "set",
            "generator", "np-scalar", "qualname", "item-str", "item-none",
            "item-list", "item-float-raises", "iter-raises", "2d-f32", "2d-f64",
            "0d-array",
        ],
    )
    @pytest.mark.parametrize("method", ["add", "search"])
    def test_refused_vectors(self, coll, method, vector, exc, message):
        coll.add(V4, {}, id="keep")
        with pytest.raises(exc) as e:
            if method == "add":
                coll.add(vector, {}, id="bad")
            else:
                coll.search(vector, 1)
        assert type(e.value) is exc
        if message is not None:
            assert e.value.args == (message,)
        assert not str(e.value).startswith("argument")
        assert len(coll) == 1
        assert coll.get("bad") is None

    @pytest.mark.parametrize(
        "vector,got", [([], 0), ([1.0, 2.0, 3.0], 3), (np.zeros(5, np.float32), 5)]
    )
    def test_wrong_length_is_a_dimension_mismatch(self, coll, vector, got):
        message = f"Dimension mismatch: expected 4, got {got}"
        with pytest.raises(ValueError) as e:
            coll.add(vector, {"a": 1}, id="bad")
        assert e.value.args == (message,)
        assert len(coll) == 0
        with pytest.raises(ValueError) as e:
            coll.search(vector, 3)
        assert e.value.args == (message,)
        with pytest.raises(ValueError) as e:
            coll.search(vector, 0)
        assert e.value.args == (message,)


class TestMetadataDictionaries:
    def repr_metadata(self, coll, metadata):
        coll.add(V4, metadata, id="m")
        result = coll.get("m")
        text = repr(result)
        prefix = "SearchResult(id='m', score=0.0000, metadata="
        assert text.startswith(prefix) and text.endswith(")")
        return text[len(prefix):-1], result.metadata

    @pytest.mark.parametrize(
        "metadata,message",
        [
            ({"s": {1, 2}}, "Object of type set is not JSON serializable"),
            ({"b": b"x"}, "Object of type bytes is not JSON serializable"),
            ({(1, 2): "t"}, "keys must be str, int, float, bool or None, not tuple"),
        ],
    )
    def test_dumps_type_error_passes_unchanged(self, coll, metadata, message):
        with pytest.raises(TypeError) as e:
            coll.add(V4, metadata, id="x")
        assert e.value.args == (message,)
        with pytest.raises(TypeError) as e:
            coll.search(V4, 1, metadata)
        assert e.value.args == (message,)
        assert len(coll) == 0

    def test_vector_is_converted_before_the_dictionary(self, coll):
        with pytest.raises(TypeError) as e:
            coll.add("abc", {"s": {1}})
        assert e.value.args == ("Can't extract `str` to `Vec`",)
        with pytest.raises(TypeError) as e:
            coll.search("abc", 1, {"s": {1}})
        assert e.value.args == ("Can't extract `str` to `Vec`",)
        # the filter is converted before the operation checks the length
        with pytest.raises(TypeError) as e:
            coll.search([1.0], 1, {"s": {1}})
        assert e.value.args == ("Object of type set is not JSON serializable",)

    @pytest.mark.parametrize(
        "metadata",
        [
            {"x": math.nan},
            {"x": math.inf},
            {"x": [1, {"y": -math.inf}]},
            {"deep": nested_lists(200)},
        ],
        ids=["nan", "inf", "nested-neg-inf", "too-deep"],
    )
    def test_text_that_is_not_json_is_a_value_error(self, coll, metadata):
        with pytest.raises(ValueError) as e:
            coll.add(V4, metadata, id="x")
        assert re.fullmatch(r"Invalid JSON: .+ at line \d+ column \d+", e.value.args[0]), e.value.args
        assert len(e.value.args) == 1
        with pytest.raises(ValueError) as e:
            coll.search(V4, 1, metadata)
        assert e.value.args[0].startswith("Invalid JSON: ")
        assert len(coll) == 0

    def test_moderate_nesting_is_accepted(self, coll):
        nested = nested_lists(60)
        text, value = self.repr_metadata(coll, {"n": nested})
        assert text == '{"n":' + "[" * 60 + "]" * 60 + "}"
        assert value == {"n": nested}

    @pytest.mark.parametrize(
        "metadata,text,value",
        [
            ({}, "{}", {}),
            ({1: "a"}, '{"1":"a"}', {"1": "a"}),
            ({None: 1, True: 2, 1.5: 3}, '{"1.5":3,"null":1,"true":2}',
             {"1.5": 3, "null": 1, "true": 2}),
            ({"b": 1, "a": 2, "B": 3, "\u00e9": 4, "z": 5},
             '{"B":3,"a":2,"b":1,"z":5,"\u00e9":4}',
             {"B": 3, "a": 2, "b": 1, "z": 5, "\u00e9": 4}),
            ({"o": {"y": 1, "x": {}}, "l": [True, False, None, "s"]},
             '{"l":[true,false,null,"s"],"o":{"x":{},"y":1}}',
             {"o": {"y": 1, "x": {}}, "l": [True, False, None, "s"]}),
            ({"f": 2.5, "one": 1.0, "neg": -3, "big": 2**64 - 1, "small": -(2**63)},
             '{"big":18446744073709551615,"f":2.5,"neg":-3,"one":1.0,'
             '"small":-9223372036854775808}',
             {"f": 2.5, "one": 1.0, "neg": -3, "big": 2**64 - 1, "small": -(2**63)}),
            ({"s": 'q"\\\n\t\x01\u00e9/\u20ac'},
             '{"s":"q\\"\\\\\\n\\t\\u0001\u00e9/\u20ac"}',
             {"s": 'q"\\\n\t\x01\u00e9/\u20ac'}),
        ],
        ids=["empty", "int-key", "other-keys", "byte-order", "nested", "numbers", "escapes"],
    )
    def test_stored_form(self, coll, metadata, text, value):
        got_text, got_value = self.repr_metadata(coll, metadata)
        assert got_text == text
        assert got_value == value
        assert {k: type(v) for k, v in got_value.items()} == {
            k: type(v) for k, v in value.items()
        }

    def test_integers_beyond_64_bits_become_floats(self, coll):
        _, value = self.repr_metadata(coll, {"huge": 2**70, "low": -(2**63) - 1})
        assert value == {"huge": float(2**70), "low": float(-(2**63) - 1)}
        assert type(value["huge"]) is float and type(value["low"]) is float

    def test_negative_zero_stays_a_float(self, coll):
        text, value = self.repr_metadata(coll, {"z": -0.0})
        assert text == '{"z":-0.0}'
        assert math.copysign(1.0, value["z"]) == -1.0

    def test_the_caller_dictionary_is_not_changed(self, coll):
        metadata = {"b": [1, 2], "a": {"c": 3}}
        coll.add(V4, metadata, id="x")
        assert metadata == {"b": [1, 2], "a": {"c": 3}}
        assert list(metadata) == ["b", "a"]
        metadata["b"].append(3)
        assert coll.get("x").metadata == {"b": [1, 2], "a": {"c": 3}}


def test_strings_are_read_as_utf8(db, db_path):
    name = "caf\u00e9-\u6f22\U0001f600"
    coll = db.collection(name, 4, "dot")
    assert coll.name == name
    coll.add(V4, {}, id=name)
    assert coll.get(name).id == name
    assert db.collections() == [name]
    assert (db_path / "collections" / name).is_dir()


def test_text_with_nul_is_taken_whole(tmp_path):
    import tessello

    with pytest.raises(OSError) as info:
        tessello.Tessello(str(tmp_path / "real") + "\x00/elsewhere")
    assert str(info.value) == "I/O error: file name contained an unexpected NUL byte"
    assert not (tmp_path / "real").exists()
    db = tessello.Tessello(str(tmp_path / "db"))
    for metric in ["cosine\x00junk", "bogus\x00tail"]:
        with pytest.raises(ValueError) as info:
            db.collection("m", 3, metric)
        assert str(info.value) == f"Invalid metric '{metric}'. Expected: cosine, dot, l2"


def test_unaligned_float64_array_is_read_exactly(make_coll):
    import numpy as np

    c = make_coll(3, "dot")
    buf = bytearray(8 * 3 + 1)
    arr = np.frombuffer(buf, dtype=np.float64, count=3, offset=1)
    assert not arr.flags.aligned
    arr[:] = [0.5, -2.0, 3.25]
    c.add(arr, {}, id="u")
    hits = c.search(np.array([1.0, 0.0, 0.0]), 1)
    assert hits[0].id == "u" and hits[0].score == 0.5
