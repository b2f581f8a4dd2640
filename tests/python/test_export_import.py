"""export_to_file and import_from_file of Collection."""

import json
import re

import numpy as np
import pytest

import tessello


def test_signatures():
    assert tessello.Collection.export_to_file.__text_signature__ == "($self, path)"
    assert tessello.Collection.import_from_file.__text_signature__ == "($self, path)"
    assert tessello.Collection.export_to_file.__doc__.startswith("Export the collection to a file.\n\nCreates an NDJSON")
    assert tessello.Collection.import_from_file.__doc__.endswith("ImportStats with details about the import.")


def test_round_trip(make_coll, tmp_path):
    src = make_coll(3, "dot")
    src.add_batch(np.array([[1, 2, 3], [0.5, -1, 0]], dtype=np.float32), [{"a": 1}, {"b": [True, None]}],
                  ids=["x", "y"], ttls=[None, 3600])
    path = str(tmp_path / "out.ndjson")
    assert src.export_to_file(path) == 2
    lines = open(path, encoding="utf-8").read().splitlines()
    header = json.loads(lines[0])
    assert list(header) == ["version", "collection", "dimensions", "metric", "record_count", "exported_at"]
    assert (header["version"], header["dimensions"], header["metric"], header["record_count"]) == (1, 3, "dot", 2)
    assert list(json.loads(lines[2])) == ["id", "vector", "metadata", "created_at", "ttl"]

    dst = make_coll(3, "dot")
    stats = dst.import_from_file(path)
    assert isinstance(stats, tessello.ImportStats)
    assert (stats.imported, stats.skipped, stats.failed) == (2, 0, 0)
    assert re.fullmatch(r"ImportStats\(imported=2, skipped=0, failed=0, duration_ms=\d+\)", repr(stats))
    assert [(h.id, h.score) for h in dst.search([0, 0, 1], 5)] == [("x", 3.0), ("y", 0.0)]
    assert dst.get("y").metadata == {"b": [True, None]}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c, d: c.export_to_file(), TypeError,
         "Collection.export_to_file() missing 1 required positional argument: 'path'"),
        (lambda c, d: c.import_from_file(7), TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda c, d: c.export_to_file(d + "/missing/out"), OSError, "I/O error: No such file or directory (os error 2)"),
        (lambda c, d: c.export_to_file(d + "/x\x00y"), OSError, "I/O error: file name contained an unexpected NUL byte"),
        (lambda c, d: c.import_from_file(d + "/nothing"), OSError, "I/O error: No such file or directory (os error 2)"),
    ],
)
def test_errors(make_coll, tmp_path, call, error, message):
    with pytest.raises(error) as info:
        call(make_coll(2), str(tmp_path))
    assert str(info.value) == message


def test_import_refuses_other_dimensions(make_coll, tmp_path):
    path = str(tmp_path / "out.ndjson")
    make_coll(3).export_to_file(path)
    with pytest.raises(OSError, match=r"^Invalid dimensions: expected 2, got 3$"):
        make_coll(2).import_from_file(path)
