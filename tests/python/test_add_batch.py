"""add_batch of Collection: conversions, checks and results."""

import numpy as np
import pytest

import tessello


def stored_vectors(c, ids, dim):
    """The stored vector of each id, read back with one-hot dot queries."""
    out = {}
    for d in range(dim):
        q = np.zeros(dim, dtype=np.float32)
        q[d] = 1.0
        for h in c.search(q, len(ids) + 10):
            out.setdefault(h.id, [0.0] * dim)[d] = h.score
    return [out[i] for i in ids]


def test_signature():
    assert tessello.Collection.add_batch.__text_signature__ == "($self, vectors, metadatas, ids=None, ttls=None)"
    assert tessello.Collection.add_batch.__doc__.startswith("Batch add vectors (10-100x faster than looped add).")


@pytest.mark.parametrize(
    "vectors",
    [
        np.array([[1.5, 2.0, -3.0], [4.0, 5.0, 6.0]], dtype=np.float32),
        np.array([[1.5, 2.0, -3.0], [4.0, 5.0, 6.0]], dtype=np.float64),
        np.asfortranarray(np.array([[1.5, 2.0, -3.0], [4.0, 5.0, 6.0]], dtype=np.float32)),
        np.array([[6.0, 5.0, 4.0], [-3.0, 2.0, 1.5]], dtype=np.float32)[::-1, ::-1],
        np.array([[1.5, 9, 2.0, 9, -3.0], [4.0, 9, 5.0, 9, 6.0]], dtype=np.float32)[:, ::2],
        [[1.5, 2, -3], np.array([4, 5, 6], dtype=np.float32)],
        np.array([[3, 4, -6], [8, 10, 12]]) / 2,
    ],
)
def test_rows_are_read_as_the_view_shows_them(make_coll, vectors):
    c = make_coll(3, "dot")
    ids = c.add_batch(vectors, [{"i": 0}, {"i": 1}], ids=["a", "b"])
    assert ids == ["a", "b"]
    assert stored_vectors(c, ids, 3) == [[1.5, 2.0, -3.0], [4.0, 5.0, 6.0]]


def test_float64_rows_are_rounded_to_float32(make_coll):
    c = make_coll(1, "dot")
    c.add_batch(np.array([[0.1]]), [{}], ids=["x"])
    assert c.search([1.0], 1)[0].score == float(np.float32(0.1))


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(vectors=[[1, 2]], metadatas="x"), TypeError, "argument 'metadatas': Can't extract `str` to `Vec`"),
        (dict(vectors=[[1, 2]], metadatas=5), TypeError,
         "argument 'metadatas': 'int' object cannot be converted to 'Sequence'"),
        (dict(vectors=[[1, 2]], metadatas=[[]]), TypeError,
         "argument 'metadatas': 'list' object cannot be converted to 'PyDict'"),
        (dict(vectors=[[1, 2]], metadatas=[{}], ids=[3]), TypeError,
         "argument 'ids': 'int' object cannot be converted to 'PyString'"),
        (dict(vectors=[[1, 2]], metadatas=[{}], ttls=[1.5]), TypeError,
         "argument 'ttls': 'float' object cannot be interpreted as an integer"),
        (dict(vectors=[[1, 2]], metadatas=[{}], ttls=[-1]), OverflowError, "can't convert negative int to unsigned"),
        (dict(vectors="ab", metadatas=[{}]), TypeError, "Can't extract `str` to `Vec`"),
        (dict(vectors=7, metadatas=[{}]), TypeError, "'int' object cannot be converted to 'Sequence'"),
        (dict(vectors=np.zeros(2, dtype=np.float32), metadatas=[{}, {}]), TypeError,
         "'float32' object cannot be converted to 'Sequence'"),
        (dict(vectors=[[1, 2]] * 3, metadatas=[{}] * 2), ValueError,
         "Invalid input: vectors and metadatas must have same length"),
        (dict(vectors=[[1, 2]] * 3, metadatas=[{}] * 3, ids=["a", "b"]), ValueError,
         "Invalid input: ids must have same length as vectors"),
        (dict(vectors=[[1, 2]] * 3, metadatas=[{}] * 3, ids=["a", "b", "c"], ttls=[1] * 4), ValueError,
         "Invalid input: ttls must have same length as vectors"),
        (dict(vectors=[[1, 2], [1, 2, 3], [1]], metadatas=[{}] * 3), ValueError,
         "Dimension mismatch: expected 2, got 3"),
    ],
)
def test_refusals_change_nothing(make_coll, kwargs, error, message):
    c = make_coll(2)
    with pytest.raises(error) as info:
        c.add_batch(**kwargs)
    assert str(info.value) == message
    assert len(c) == 0


def test_ttls_ids_and_lengths(make_coll):
    c = make_coll(2)
    ids = c.add_batch([[1, 0], [0, 1], [1, 1]], [{"n": 1}, {"n": 2}, {"n": 3}], ttls=[3600, None, 0])
    assert len(ids) == 3 and len(set(ids)) == 3 and all(i[14] == "4" for i in ids)
    assert len(c) == 2
    assert c.get(ids[2]) is None
    assert c.get(ids[0]).metadata == {"n": 1}
    assert c.add_batch(np.zeros((0, 2), dtype=np.float32), []) == []
    assert c.add_batch([], []) == []


def test_batch_records_survive_a_reopen(db_path):
    db = tessello.Tessello(str(db_path))
    c = db.collection("b", 4)
    ids = c.add_batch(np.eye(4, dtype=np.float32), [{"i": i} for i in range(4)])
    del c, db
    db = tessello.Tessello(str(db_path))
    c = db.get_collection("b")
    assert len(c) == 4
    assert c.search(np.array([0, 0, 1, 0], dtype=np.float32), 1)[0].id == ids[2]
