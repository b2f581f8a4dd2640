"""Collection members: length, attributes, add, search, get and their results."""

import math
import re

import numpy as np
import pytest

import tessello

V4 = [1.0, 0.0, 0.0, 0.0]
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


def ids(results):
    return [r.id for r in results]


class TestMembers:
    def test_length_counts_buffered_records(self, make_coll):
        coll = make_coll()
        assert len(coll) == 0
        assert not coll
        coll.add(V4, {}, id="a")
        assert len(coll) == 1 and bool(coll)
        coll.add(V4, {}, id="b", ttl=0)  # expired, but counted while buffered
        coll.add(V4, {}, id="a")  # the same identifier twice in the buffer
        assert len(coll) == 3
        assert coll.sync() is None
        assert len(coll) == 1
        coll.add(V4, {}, id="c")
        assert len(coll) == 2

    @pytest.mark.parametrize(
        "name,dim,metric,text",
        [
            ("docs", 384, "cosine", "Collection(name='docs', dimensions=384, metric='cosine')"),
            ("v", 1, "DOT", "Collection(name='v', dimensions=1, metric='dot')"),
            ("it's", 7, "Euclidean", "Collection(name='it's', dimensions=7, metric='l2')"),
        ],
    )
    def test_repr_and_attributes(self, db, name, dim, metric, text):
        coll = db.collection(name, dim, metric)
        assert repr(coll) == str(coll) == text
        assert coll.name == name and type(coll.name) is str
        assert coll.dimensions == dim and type(coll.dimensions) is int
        assert coll.metric == metric.lower().replace("euclidean", "l2")
        assert type(coll.metric) is str

    @pytest.mark.parametrize("dim", [1, 4, 384])
    def test_vectors_size_of_a_new_collection(self, make_coll, dim):
        coll = make_coll(dim=dim)
        assert coll.vectors_size_bytes == 64 + 4 * dim * 1024
        assert type(coll.vectors_size_bytes) is int

    def test_vectors_size_grows_with_the_file(self, make_coll):
        coll = make_coll(dim=4, metric="dot")
        sizes = []
        for i in range(1538 + 1):
            coll.add([float(i), 0.0, 0.0, 0.0], {}, id=f"r{i:05d}")
            if i in (1023, 1024, 1537, 1538):
                sizes.append(coll.vectors_size_bytes)
        assert sizes == [16448, 24672, 24672, 37008]
        coll.sync()
        assert len(coll) == 1539
        assert coll.vectors_size_bytes == 37008

    def test_preload_returns_none(self, make_coll):
        coll = make_coll(dim=4)
        assert coll.preload() is None
        coll.add(V4, {"x": 1}, id="a")
        coll.sync()
        assert coll.preload() is None
        assert coll.get("a").metadata == {"x": 1}
        assert len(coll) == 1


class TestAdd:
    def test_returns_the_given_identifier(self, make_coll):
        coll = make_coll()
        assert coll.add(V4, {}, id="given") == "given"
        assert coll.add(V4, {}, id="given", ttl=None) == "given"

    def test_generates_version_4_uuids(self, make_coll):
        coll = make_coll()
        made = [coll.add(V4, {"i": i}) for i in range(50)]
        assert all(type(r) is str and UUID4.fullmatch(r) for r in made), made[:3]
        assert len(set(made)) == 50
        assert coll.get(made[7]).metadata == {"i": 7}

    @pytest.mark.parametrize(
        "rid",
        ["", "x" * 512, "x" * 4096, "\u00e9" * 256, "\u00e9" * 255 + "ab"],
        ids=["empty", "512-bytes", "4096-bytes", "512-utf8-bytes", "512-mixed"],
    )
    def test_unstorable_identifiers_are_refused(self, make_coll, rid):
        coll = make_coll(dim=4, metric="dot")
        for i in range(3):
            coll.add(V4, {"i": i}, id=f"ok{i}")
        with pytest.raises(ValueError) as e:
            coll.add(V4, {}, id=rid)
        assert e.value.args[0].startswith("Invalid input: "), e.value.args
        assert len(coll) == 3
        assert coll.get(rid) is None
        # The refused add leaves nothing behind that could spoil a flush.
        coll.sync()
        assert len(coll) == 3
        assert ids(coll.search(V4, 10)) == ["ok0", "ok1", "ok2"]

    @pytest.mark.parametrize(
        "rid", ["x" * 511, "\u00e9" * 255 + "a", "\U0001f600" * 127 + "abc"],
        ids=["511-ascii", "511-utf8", "511-emoji"],
    )
    def test_longest_identifiers_are_stored(self, make_coll, rid):
        coll = make_coll(dim=4, metric="dot")
        assert coll.add(V4, {"k": 1}, id=rid) == rid
        coll.sync()
        assert coll.get(rid).id == rid
        assert ids(coll.search(V4, 1)) == [rid]

    @pytest.mark.parametrize("ttl", [3600, 2**32, 2**63, 2**64 - 2, 2**64 - 1])
    def test_long_ttls_are_live(self, make_coll, ttl):
        coll = make_coll(dim=4, metric="dot")
        coll.add(V4, {"t": 1}, id="t", ttl=ttl)
        assert coll.get("t") is not None
        assert ids(coll.search(V4, 1)) == ["t"]
        coll.sync()
        assert coll.get("t").metadata == {"t": 1}
        assert ids(coll.search(V4, 1)) == ["t"]
        assert len(coll) == 1

    def test_zero_ttl_is_expired_at_once(self, make_coll):
        coll = make_coll(dim=4, metric="dot")
        coll.add(V4, {}, id="gone", ttl=0)
        coll.add([0.5, 0, 0, 0], {}, id="kept")
        assert coll.get("gone") is None
        assert ids(coll.search(V4, 5)) == ["kept"]
        coll.sync()
        assert coll.get("gone") is None
        assert ids(coll.search(V4, 5)) == ["kept"]
        assert len(coll) == 1


METRIC_CASES = {
    # metric: (records, query, expected ids best first, expected scores)
    "cosine": (
        {"a": [1.0, 0.0], "b": [0.0, 2.0], "c": [3.0, 3.0], "d": [-1.0, 0.0]},
        [5.0, 0.0],
        ["a", "c", "b", "d"],
        [1.0, float(np.float32(1) / np.float32(np.sqrt(np.float32(2)))), 0.0, -1.0],
    ),
    "dot": (
        {"a": [1.0, 2.0], "b": [3.0, 1.0], "c": [-1.0, -1.0], "d": [0.5, 0.0]},
        [1.0, 1.0],
        ["b", "a", "d", "c"],
        [4.0, 3.0, 0.5, -2.0],
    ),
    "l2": (
        {"a": [0.0, 0.0], "b": [3.0, 4.0], "c": [1.0, 1.0], "d": [-2.0, 0.0]},
        [0.0, 0.0],
        ["a", "c", "d", "b"],
        [0.0, 2.0, 4.0, 25.0],
    ),
}


class TestSearch:
    @pytest.mark.parametrize("flushed", [False, True], ids=["buffered", "stored"])
    @pytest.mark.parametrize("metric", sorted(METRIC_CASES))
    def test_order_and_scores_per_metric(self, make_coll, metric, flushed):
        records, query, order, scores = METRIC_CASES[metric]
        coll = make_coll(dim=2, metric=metric)
        for rid, vector in records.items():
            coll.add(vector, {"id": rid}, id=rid)
        if flushed:
            coll.sync()
        results = coll.search(query, 10)
        assert type(results) is list
        assert all(type(r) is tessello.SearchResult for r in results)
        assert ids(results) == order
        assert [r.score for r in results] == pytest.approx(scores, rel=1e-6, abs=1e-7)
        assert [r.metadata for r in results] == [{"id": rid} for rid in order]
        assert ids(coll.search(query, 2)) == order[:2]
        assert ids(coll.search(np.array(query, np.float32), 1)) == order[:1]

    def test_l2_exact_match_scores_zero(self, make_coll):
        coll = make_coll(dim=3, metric="l2")
        coll.add([0.1, 0.2, 0.3], {}, id="x")
        coll.add([0.1, 0.2, 0.4], {}, id="y")
        coll.sync()
        best = coll.search([0.1, 0.2, 0.3], 1)[0]
        assert (best.id, best.score) == ("x", 0.0)

    @pytest.mark.parametrize("flushed", [False, True], ids=["buffered", "stored"])
    def test_k_zero_and_large_k(self, make_coll, flushed):
        coll = make_coll(dim=4, metric="dot")
        for i in range(5):
            coll.add([float(i), 0, 0, 0], {}, id=f"r{i}")
        if flushed:
            coll.sync()
        assert coll.search(V4, 0) == []
        assert coll.search(V4, 0, {"a": 1}) == []
        assert ids(coll.search(V4, 100)) == ["r4", "r3", "r2", "r1", "r0"]
        assert ids(coll.search(V4, 2**64 - 1)) == ["r4", "r3", "r2", "r1", "r0"]
        assert ids(coll.search(V4, 2**64 - 1, {"x": {"$ne": 1}})) == []

    def test_empty_collection(self, make_coll):
        coll = make_coll(dim=4)
        assert coll.search(V4, 10) == []
        assert coll.search(V4, 10, {}) == []

    def test_equal_scores(self, make_coll):
        coll = make_coll(dim=2, metric="dot")
        coll.add([1.0, 0.0], {}, id="z")
        coll.add([1.0, 0.0], {}, id="m")
        coll.sync()
        # Buffered after the flush, in queue order: y before b.
        coll.add([1.0, 0.0], {}, id="y")
        coll.add([1.0, 0.0], {}, id="b")
        # Stored hits first, in identifier byte order; buffered in queue order.
        assert ids(coll.search([1.0, 0.0], 10)) == ["m", "z", "y", "b"]
        assert ids(coll.search([1.0, 0.0], 3)) == ["m", "z", "y"]

    @pytest.mark.parametrize("flushed", [False, True], ids=["buffered", "stored"])
    def test_where_filter(self, make_coll, flushed):
        coll = make_coll(dim=2, metric="dot")
        rows = [("a", "x", 1), ("b", "y", 5), ("c", "x", 7), ("d", "z", 9)]
        for rid, t, n in rows:
            coll.add([float(n), 1.0], {"t": t, "n": n}, id=rid)
        if flushed:
            coll.sync()
        q = [1.0, 0.0]
        everything = ids(coll.search(q, 10))
        assert everything == ["d", "c", "b", "a"]
        assert ids(coll.search(q, 10, None)) == everything
        assert ids(coll.search(q, 10, {})) == everything
        assert ids(coll.search(q, 10, where_={})) == everything
        assert ids(coll.search(q, 10, {"t": "x"})) == ["c", "a"]
        assert ids(coll.search(q, 1, {"t": "x"})) == ["c"]
        assert ids(coll.search(q, 10, {"n": {"$gt": 4, "$lt": 9}})) == ["c", "b"]
        assert ids(coll.search(q, 10, {"t": {"$in": ["y", "z"]}})) == ["d", "b"]
        assert ids(coll.search(q, 10, {"t": "w"})) == []
        assert ids(coll.search(q, 10, {"n": 5.0})) == []  # 5 and 5.0 differ

    def test_nan_first_component(self, make_coll):
        coll = make_coll(dim=2, metric="dot")
        coll.add([1.0, 1.0], {}, id="fine")
        coll.add([math.nan, 1.0], {}, id="nan")
        assert coll.get("nan") is not None  # found in the buffer
        coll.sync()
        # Once stored, a NaN first component reads as a deleted slot.
        assert coll.get("nan") is None
        assert ids(coll.search([1.0, 1.0], 10)) == ["fine"]
        assert ids(coll.search([0.0, 1.0], 10)) == ["fine"]


def scored(db, value, query=1.0):
    """A SearchResult whose f32 score is value x query, from a 1-d dot search."""
    coll = db.collection("scores", 1, "dot")
    coll.add([value], {}, id="s")
    hits = coll.search([query], 1)
    db.drop_collection("scores")
    return hits


class TestSearchResult:
    @pytest.mark.parametrize(
        "value,text",
        [
            (0.5, "0.5000"),
            (12.0, "12.0000"),
            (0.0, "0.0000"),
            (-1.5, "-1.5000"),
            (0.1, "0.1000"),
            (0.125, "0.1250"),
            (0.03125, "0.0312"),  # a tie: to even
            (0.15625, "0.1562"),  # a tie: to even
            (0.09375, "0.0938"),  # a tie: to even
            (0.00035, "0.0003"),  # the f32 lies below the tie
            (1.00015, "1.0001"),  # the f32 lies below the tie
            (0.00065, "0.0007"),  # the f32 lies above the tie
            (0.99999, "1.0000"),
            (-1e-10, "-0.0000"),
            (1e-10, "0.0000"),
            (16777217.0, "16777216.0000"),
            (3e38, "300000000549775575777803994281145270272.0000"),
        ],
    )
    def test_score_formatting(self, db, value, text):
        [hit] = scored(db, value)
        assert hit.score == float(np.float32(value))
        assert repr(hit) == f"SearchResult(id='s', score={text}, metadata={{}})"

    @pytest.mark.parametrize(
        "value,query,text", [(3e38, 3e38, "inf"), (-3e38, 3e38, "-inf")]
    )
    def test_infinite_scores(self, db, value, query, text):
        [hit] = scored(db, value, query)
        assert hit.score == float(text)
        assert repr(hit) == f"SearchResult(id='s', score={text}, metadata={{}})"

    def test_nan_score(self, db):
        hits = scored(db, math.nan)  # still buffered, so it is scored
        if not hits:
            pytest.skip("this build drops NaN hits from the collector")
        assert math.isnan(hits[0].score)
        assert repr(hits[0]) == "SearchResult(id='s', score=NaN, metadata={})"

    def test_score_is_the_widened_float32(self, db):
        [hit] = scored(db, 0.1)
        assert hit.score == 0.10000000149011612
        assert type(hit.score) is float

    def test_repr_and_attributes(self, make_coll):
        coll = make_coll(dim=1, metric="dot")
        metadata = {"t": True, "n": None, "s": "x y", "l": [1, 2.5], "f": False}
        coll.add([0.5], metadata, id="a")
        [hit] = coll.search([1.0], 1)
        assert repr(hit) == str(hit) == (
            "SearchResult(id='a', score=0.5000, metadata="
            '{"f":false,"l":[1,2.5],"n":null,"s":"x y","t":true})'
        )
        assert hit.id == "a" and type(hit.id) is str
        assert hit.metadata == metadata

    @pytest.mark.parametrize("rid", ["it's", "a\\b", "line\nbreak", "\u00e9\u6f22", "q\"q"])
    def test_identifier_is_printed_unchanged(self, make_coll, rid):
        coll = make_coll(dim=1, metric="dot")
        coll.add([0.5], {}, id=rid)
        assert repr(coll.get(rid)) == f"SearchResult(id='{rid}', score=0.0000, metadata={{}})"
        assert repr(coll.search([1.0], 1)[0]) == (
            f"SearchResult(id='{rid}', score=0.5000, metadata={{}})"
        )

    def test_metadata_is_built_afresh_at_every_read(self, make_coll):
        coll = make_coll(dim=1)
        coll.add([1.0], {"a": {"b": [1]}}, id="x")
        result = coll.get("x")
        first, second = result.metadata, result.metadata
        assert first == second == {"a": {"b": [1]}}
        assert first is not second and first["a"] is not second["a"]
        first["a"]["b"].append(2)
        first["new"] = 1
        assert result.metadata == {"a": {"b": [1]}}
        assert coll.get("x").metadata == {"a": {"b": [1]}}

    def test_results_outlive_their_collection(self, db):
        coll = db.collection("gone", 1, "dot")
        coll.add([2.0], {"k": "v"}, id="r")
        coll.sync()
        found, fetched = coll.search([1.0], 1)[0], coll.get("r")
        db.drop_collection("gone")
        del coll
        assert (found.id, found.score, found.metadata) == ("r", 2.0, {"k": "v"})
        assert repr(fetched) == 'SearchResult(id=\'r\', score=0.0000, metadata={"k":"v"})'


class TestGet:
    @pytest.mark.parametrize("flushed", [False, True], ids=["buffered", "stored"])
    def test_found_with_score_zero(self, make_coll, flushed):
        coll = make_coll(dim=4, metric="l2")
        coll.add([9.0, 9.0, 9.0, 9.0], {"k": [1, "two"]}, id="doc")
        if flushed:
            coll.sync()
        result = coll.get("doc")
        assert type(result) is tessello.SearchResult
        assert (result.id, result.score) == ("doc", 0.0)
        assert result.metadata == {"k": [1, "two"]}
        assert repr(result) == 'SearchResult(id=\'doc\', score=0.0000, metadata={"k":[1,"two"]})'
        assert coll.get("Doc") is None
        assert coll.get("do") is None
        assert coll.get("doc ") is None
        assert coll.get("") is None

    def test_missing_identifier(self, make_coll):
        coll = make_coll()
        assert coll.get("nothing") is None
        coll.add(V4, {}, id="a")
        coll.sync()
        assert coll.get("nothing") is None

    def test_duplicate_identifiers(self, make_coll):
        coll = make_coll(dim=4, metric="dot")
        coll.add(V4, {"v": 1}, id="dup")
        coll.add(V4, {"v": 2}, id="dup")
        assert coll.get("dup").metadata == {"v": 1}  # the earlier buffered entry
        coll.sync()
        assert coll.get("dup").metadata == {"v": 2}  # the later one was stored
        assert len(coll) == 1

    def test_expired_buffered_entry_is_passed_over(self, make_coll):
        coll = make_coll(dim=4, metric="dot")
        coll.add(V4, {"v": "old"}, id="r")
        coll.sync()
        coll.add(V4, {"v": "expired"}, id="r", ttl=0)
        assert coll.get("r").metadata == {"v": "old"}  # the table decides
        coll.add(V4, {"v": "new"}, id="r")
        assert coll.get("r").metadata == {"v": "new"}
