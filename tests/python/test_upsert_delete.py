"""upsert and delete of Collection: the Python face of replacing and removing
records by identifier."""

import pytest

import tessello


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.upsert(), "Collection.upsert() missing 3 required positional arguments: "
                               "'id', 'vector', and 'metadata'"),
        (lambda c: c.upsert("a", [1.0, 0.0]), "Collection.upsert() missing 1 required positional argument: "
                                              "'metadata'"),
        (lambda c: c.upsert("a", [1, 0], {}, 1, 2), "Collection.upsert() takes from 3 to 4 positional "
                                                     "arguments but 5 were given"),
        (lambda c: c.upsert("a", [1, 0], []), "argument 'metadata': 'list' object cannot be converted to "
                                              "'PyDict'"),
        (lambda c: c.upsert(7, [1, 0], {}), "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (lambda c: c.delete(), "Collection.delete() missing 1 required positional argument: 'id'"),
        (lambda c: c.delete(None), "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda c: c.delete(ids="a"), "Collection.delete() got an unexpected keyword argument 'ids'"),
    ],
)
def test_argument_errors(make_coll, call, message):
    with pytest.raises(TypeError) as info:
        call(make_coll(2))
    assert str(info.value) == message


def test_signatures_and_docstrings():
    assert tessello.Collection.upsert.__text_signature__ == "($self, id, vector, metadata, ttl=None)"
    assert tessello.Collection.upsert.__doc__.startswith("Insert or update a vector by ID.\n\nThis is idempotent")
    assert tessello.Collection.delete.__text_signature__ == "($self, id)"
    assert tessello.Collection.delete.__doc__.endswith("True if the record existed and was deleted.")


def test_upsert_replaces_buffered_and_stored_records(make_coll):
    c = make_coll(2, "dot")
    assert c.upsert("a", [1.0, 0.0], {"v": 1}) is None
    c.upsert("a", [0.0, 1.0], {"v": 2})
    assert len(c) == 1
    assert c.get("a").metadata == {"v": 2}
    c.sync()
    c.upsert("a", [2.0, 0.0], {"v": 3}, ttl=3600)
    assert len(c) == 1
    hits = c.search([1.0, 0.0], 5)
    assert [(h.id, h.score, h.metadata) for h in hits] == [("a", 2.0, {"v": 3})]


def test_upsert_with_wrong_length_keeps_the_record(make_coll):
    c = make_coll(3)
    c.add([1, 2, 3], {"keep": True}, id="x")
    with pytest.raises(ValueError, match=r"^Dimension mismatch: expected 3, got 2$"):
        c.upsert("x", [1, 2], {})
    assert c.get("x").metadata == {"keep": True}


def test_delete_buffered_stored_and_absent(make_coll):
    c = make_coll(2)
    c.add([1, 0], {}, id="a")
    assert c.delete("a") is True
    assert c.get("a") is None
    assert c.delete("a") is False
    c.add([1, 0], {}, id="b")
    c.sync()
    assert c.delete("b") is True
    assert c.get("b") is None and len(c) == 0
    assert c.search([1, 0], 3) == []
    assert c.delete("never") is False


def test_deleted_records_stay_gone_after_reopen(db_path):
    db = tessello.Tessello(str(db_path))
    c = db.collection("c", 2)
    for i in range(5):
        c.add([1.0, float(i)], {"i": i}, id=f"r{i}")
    c.sync()
    c.delete("r1")
    c.upsert("r2", [0.0, 1.0], {"i": 22})
    c.sync()
    del c, db
    db = tessello.Tessello(str(db_path))
    c = db.get_collection("c")
    assert sorted(h.id for h in c.search([1.0, 0.0], 10)) == ["r0", "r2", "r3", "r4"]
    assert c.get("r2").metadata == {"i": 22}
