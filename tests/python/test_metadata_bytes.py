"""The stored metadata text of a plain dictionary is byte for byte the text
that the round trip through json.dumps and the JSON reader gives, which every
other dictionary (a dict subclass, say) still takes."""

import json
import math
import struct

import pytest

V4 = [1.0, 0.0, 0.0, 0.0]


class Plain(dict):
    """Equal to its dict for json.dumps, but never plain: the round trip."""


def as_round_trip(value):
    if isinstance(value, dict):
        return Plain({k: as_round_trip(v) for k, v in value.items()})
    if isinstance(value, list):
        return [as_round_trip(v) for v in value]
    return value


def stored_metadata(db_path, name, record_id):
    """The metadata bytes of a record as they lie in the collection's file."""
    raw = (db_path / "collections" / name / "meta.redb").read_bytes()
    key = record_id.encode()
    at = raw.find(struct.pack("<Q", len(key)) + key)
    assert at >= 0, record_id
    at += 8 + len(key) + 8  # the identifier, then the slot
    (length,) = struct.unpack_from("<Q", raw, at)
    return raw[at + 8 : at + 8 + length]


def nested(depth):
    value = {"leaf": 1.5}
    for i in range(depth):
        value = {"d": value, "l": [i, {"k": i}]} if i % 2 else {"l": [i, value]}
    return value


CASES = [
    {},
    {"topic": "t3"},
    {"f": 0.1, "g": 1e16, "h": 1e15, "i": 1.5e-7, "j": 1e-5, "k": -0.0, "m": 0.0, "n": 123456789.125},
    {"max": 1.7976931348623157e308, "min": 2.2250738585072014e-308, "sub": 5e-324, "neg": -2.5e-310},
    {"u64": 2**64 - 1, "over": 2**64, "i64": -(2**63), "under": -(2**63) - 1, "zero": 0, "huge": 10**30},
    {"t": True, "f": False, "n": None, "l": [True, None, 1, 1.0, "1"], "tuple": (1, (2, 3))},
    {"b": 1, "a": 2, "B": 3, "\u00e9": 4, "z": 5, "ab": 6, "a\x00": 7, "\U0001f600": 8, "\u20ac": 9},
    {"s": 'q"\\\n\t\x01\x1f\x7f\u00e9/\u2028\u6f22\U0001f600\x00'},
    {"o": {"y": 1, "x": {}, "w": []}, "l": [[], [{}], [{"b": 1, "a": 2}]]},
    nested(20),
    {"deep": nested(70)},
    {1: "int key", "1": "str key"},
    {"x": {None: 1, 2.5: 2, False: 3}},
]


@pytest.mark.parametrize("case", range(len(CASES)))
def test_plain_dictionaries_store_the_round_trip_bytes(db, db_path, case):
    metadata = CASES[case]
    coll = db.collection("c", 4, "dot")
    coll.add(V4, metadata, id="add-direct")
    coll.add(V4, as_round_trip(metadata), id="add-trip")
    coll.upsert("upsert-direct", V4, metadata)
    coll.upsert("upsert-trip", V4, as_round_trip(metadata))
    coll.add_batch([V4, V4], [metadata, as_round_trip(metadata)], ids=["batch-direct", "batch-trip"])
    coll.sync()
    expected = stored_metadata(db_path, "c", "add-trip")
    for record_id in ["add-direct", "upsert-direct", "upsert-trip", "batch-direct", "batch-trip"]:
        assert stored_metadata(db_path, "c", record_id) == expected, record_id
    assert coll.get("add-direct").metadata == json.loads(expected)


def circular(kind):
    value = kind(a=1)
    value["self"] = value
    return value


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


REFUSED = {
    "nan": {"x": math.nan},
    "inf": {"x": [1, -math.inf]},
    "surrogate-key": {"\ud800": 1},
    "surrogate-value": {"s": "lone \udc00"},
    "too-deep": {"deep": nested_lists(200)},
    "set": {"o": {"set": {1}}},
    "tuple-key": {"k": {(1, 2): 1}},
}


@pytest.mark.parametrize("name", [*REFUSED, "circular"])
def test_dictionaries_the_round_trip_refuses_raise_its_error(db, name):
    if name == "circular":
        metadata, trip_form = circular(dict), circular(Plain)
    else:
        metadata, trip_form = REFUSED[name], as_round_trip(REFUSED[name])
    coll = db.collection("c", 4, "dot")
    with pytest.raises(Exception) as trip:
        coll.add(V4, trip_form, id="t")
    for call in (
        lambda: coll.add(V4, metadata, id="d"),
        lambda: coll.upsert("u", V4, metadata),
        lambda: coll.add_batch([V4], [metadata], ids=["b"]),
    ):
        with pytest.raises(type(trip.value)) as direct:
            call()
        assert direct.value.args == trip.value.args
    assert len(coll) == 0


def test_a_replaced_json_dumps_is_still_called(db, monkeypatch):
    coll = db.collection("c", 4, "dot")
    monkeypatch.setattr(json, "dumps", lambda obj: '{"replaced":true}')
    coll.add(V4, {"a": 1}, id="a")
    coll.upsert("u", V4, {"a": 1})
    coll.add_batch([V4], [{"a": 1}], ids=["b"])
    for record_id in ["a", "u", "b"]:
        assert coll.get(record_id).metadata == {"replaced": True}
