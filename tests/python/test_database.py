"""The database object: opening, collections, the registry and its lock."""

import gc
import os
import shutil

import pytest

import tessello
from support import run_python

LOCKED = "Database error: Database already open. Cannot acquire lock."
V4 = [1.0, 0.0, 0.0, 0.0]


def listing(path):
    return sorted(p.name for p in path.iterdir())


class TestOpening:
    def test_creates_directories_with_parents(self, tmp_path):
        path = tmp_path / "a" / "b" / "db"
        db = tessello.Tessello(str(path))
        assert (path / "collections").is_dir()
        assert (path / "meta.redb").is_file()
        assert repr(db) == "Tessello(collections=0)"

    def test_existing_directory_is_accepted(self, tmp_path):
        (tmp_path / "db").mkdir()
        (tmp_path / "db" / "other").write_text("x")
        tessello.Tessello(str(tmp_path / "db"))
        assert (tmp_path / "db" / "other").read_text() == "x"

    def test_second_object_on_same_directory_is_refused(self, db_path):
        first = tessello.Tessello(str(db_path))
        coll = first.collection("c", 4)
        for _ in range(2):
            with pytest.raises(OSError) as e:
                tessello.Tessello(str(db_path))
            assert type(e.value) is OSError
            assert e.value.args == (LOCKED,)
        # The first object stays usable.
        coll.add(V4, {}, id="a")
        assert first.collections() == ["c"]
        del coll, first, e
        again = tessello.Tessello(str(db_path))
        assert again.collections() == ["c"]
        assert len(again.get_collection("c")) == 1

    def test_second_process_is_refused_while_open(self, db_path):
        holder = tessello.Tessello(str(db_path))
        proc = run_python(
            "import tessello\n"
            "try:\n"
            f"    tessello.Tessello({str(db_path)!r})\n"
            "    print('opened')\n"
            "except OSError as e:\n"
            "    print(type(e).__name__, e.args)\n"
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == f"OSError {(LOCKED,)!r}"
        del holder
        proc = run_python(
            "import tessello\n"
            f"db = tessello.Tessello({str(db_path)!r})\n"
            "print(repr(db))\n"
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "Tessello(collections=0)"

    def test_path_naming_a_regular_file(self, tmp_path):
        path = tmp_path / "file"
        path.write_text("not a directory")
        with pytest.raises(OSError) as e:
            tessello.Tessello(str(path))
        assert type(e.value) is OSError
        assert e.value.args == (f"I/O error: {os.strerror(17)} (os error 17)",)
        assert path.read_text() == "not a directory"

    def test_empty_path_is_the_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        db = tessello.Tessello("")
        assert {"collections", "meta.redb"} <= set(listing(tmp_path))
        coll = db.collection("x", 4)
        coll.add(V4, {}, id="a")
        coll.sync()
        assert (tmp_path / "collections" / "x" / "vectors.bin").is_file()
        assert db.collections() == ["x"]

    def test_relative_path_is_relative_to_the_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        db = tessello.Tessello("rel/db")
        db.collection("x", 2)
        assert (tmp_path / "rel" / "db" / "collections" / "x").is_dir()


class TestCollectionMethod:
    @pytest.mark.parametrize(
        "metric,expected",
        [
            ("cosine", "cosine"),
            ("COSINE", "cosine"),
            ("CoSiNe", "cosine"),
            ("dot", "dot"),
            ("DOT", "dot"),
            ("l2", "l2"),
            ("L2", "l2"),
            ("euclidean", "l2"),
            ("EUCLIDEAN", "l2"),
            ("Euclidean", "l2"),
        ],
    )
    def test_metric_spellings(self, db, metric, expected):
        coll = db.collection("m", 3, metric)
        assert coll.metric == expected
        assert repr(coll) == f"Collection(name='m', dimensions=3, metric='{expected}')"

    def test_default_metric_is_cosine(self, db):
        assert db.collection("m", 3).metric == "cosine"

    @pytest.mark.parametrize(
        "metric", ["cosine ", " dot", "l 2", "", "manhattan", "cos", "L2\n", "d\u00f6t"]
    )
    @pytest.mark.parametrize("dim", [4, 0, 70000])
    def test_invalid_metric_comes_first(self, db, db_path, metric, dim):
        with pytest.raises(ValueError) as e:
            db.collection("m", dim, metric)
        assert e.value.args == (f"Invalid metric '{metric}'. Expected: cosine, dot, l2",)
        assert db.collections() == []
        assert listing(db_path / "collections") == []

    @pytest.mark.parametrize(
        "dim,message",
        [
            (0, "Invalid input: Dimensions must be greater than 0"),
            (65537, "Dimensions too large: maximum is 65536, got 65537"),
            (70000, "Dimensions too large: maximum is 65536, got 70000"),
        ],
    )
    def test_dimension_limits(self, db, db_path, dim, message):
        with pytest.raises(ValueError) as e:
            db.collection("m", dim, "dot")
        assert e.value.args == (message,)
        assert db.collections() == []
        assert listing(db_path / "collections") == []

    def test_largest_dimension_is_accepted(self, db):
        coll = db.collection("wide", 65536, "l2")
        assert coll.dimensions == 65536
        assert coll.vectors_size_bytes == 64 + 4 * 65536 * 1024

    def test_same_name_returns_new_objects_over_one_core(self, db):
        first = db.collection("c", 4, "dot")
        second = db.collection("c", 4, "DOT")
        third = db.get_collection("c")
        assert first is not second and second is not third
        first.add(V4, {"n": 1}, id="a")
        assert len(second) == 1 and len(third) == 1
        assert second.get("a").metadata == {"n": 1}
        assert db.collections() == ["c"]

    @pytest.mark.parametrize("reopen", [False, True], ids=["cached", "registry"])
    def test_mismatch_against_the_existing_collection(self, db_path, reopen):
        db = tessello.Tessello(str(db_path))
        db.collection("docs", 128, "cosine")
        if reopen:
            del db
            gc.collect()
            db = tessello.Tessello(str(db_path))
        cases = [
            (64, "cosine", "Dimension mismatch: expected 128, got 64"),
            (64, "dot", "Dimension mismatch: expected 128, got 64"),
            (128, "dot",
             "Collection already exists: Collection 'docs' exists with metric Cosine, not Dot"),
            (128, "euclidean",
             "Collection already exists: Collection 'docs' exists with metric Cosine, not L2"),
        ]
        for dim, metric, message in cases:
            with pytest.raises(ValueError) as e:
                db.collection("docs", dim, metric)
            assert e.value.args == (message,), (dim, metric)
        coll = db.collection("docs", 128, "Cosine")
        assert (coll.dimensions, coll.metric) == (128, "cosine")
        assert db.collections() == ["docs"]

    def test_failed_open_leaves_the_new_name_registered(self, tmp_path):
        # A collection directory left behind by earlier use, with 4 dimensions.
        earlier = tessello.Tessello(str(tmp_path / "earlier"))
        old = earlier.collection("x", 4, "dot")
        old.add([1.0, 0.0, 0.0, 0.0], {}, id="a")
        old.sync()
        del old, earlier
        db = tessello.Tessello(str(tmp_path / "db"))
        shutil.copytree(
            tmp_path / "earlier" / "collections" / "x",
            tmp_path / "db" / "collections" / "x",
            ignore=shutil.ignore_patterns("*-lock"),
        )
        for dim in (8, 8, 4):
            with pytest.raises(ValueError) as e:
                db.collection("x", dim, "dot")
            assert e.value.args == ("Dimension mismatch: expected 8, got 4",)
            assert db.collections() == ["x"]
        with pytest.raises(KeyError) as e:
            db.get_collection("x")
        assert e.value.args == ("Dimension mismatch: expected 8, got 4",)
        assert repr(db) == "Tessello(collections=1)"

    def test_names_are_compared_byte_for_byte(self, db):
        db.collection("Docs", 2, "dot")
        db.collection("docs", 3, "l2")
        db.collection("docs ", 4)
        assert db.collections() == ["Docs", "docs", "docs "]
        assert db.get_collection("docs").dimensions == 3


class TestOtherMethods:
    def test_get_collection_of_unknown_name(self, db):
        for name in ["x", "Docs", "a b"]:
            with pytest.raises(KeyError) as e:
                db.get_collection(name)
            assert type(e.value) is KeyError
            assert e.value.args == (f"Collection not found: {name}",)
        assert db.collections() == []

    def test_get_collection_after_reopen_uses_the_registry(self, db_path):
        db = tessello.Tessello(str(db_path))
        db.collection("c", 3, "l2").add([1.0, 2.0, 3.0], {"k": "v"}, id="r")
        db.sync()
        del db
        db = tessello.Tessello(str(db_path))
        coll = db.get_collection("c")
        assert (coll.name, coll.dimensions, coll.metric) == ("c", 3, "l2")
        assert coll.get("r").metadata == {"k": "v"}

    def test_collections_lists_the_registry_in_byte_order(self, db_path):
        db = tessello.Tessello(str(db_path))
        assert db.collections() == []
        for name in ["b", "a", "B", "\u00e9", "ab", "a0"]:
            db.collection(name, 2)
        expected = ["B", "a", "a0", "ab", "b", "\u00e9"]
        assert db.collections() == expected
        assert repr(db) == "Tessello(collections=6)"
        del db
        db = tessello.Tessello(str(db_path))  # nothing opened yet
        assert db.collections() == expected
        assert repr(db) == "Tessello(collections=6)"

    def test_drop_collection(self, db, db_path):
        held = db.collection("c", 4, "dot")
        held.add(V4, {"n": 1}, id="a")
        held.sync()
        held.add(V4, {"n": 2}, id="b")
        db.collection("other", 4)
        assert db.drop_collection("c") is None
        assert db.collections() == ["other"]
        assert not (db_path / "collections" / "c").exists()
        assert (db_path / "collections" / "other").is_dir()
        with pytest.raises(KeyError):
            db.get_collection("c")
        # The held object keeps answering on its open files.
        assert len(held) == 2
        assert held.get("a").metadata == {"n": 1}
        assert [r.id for r in held.search(V4, 5)] == ["a", "b"]
        held.add(V4, {}, id="c")
        held.sync()
        assert repr(held) == "Collection(name='c', dimensions=4, metric='dot')"
        # A new collection of that name starts empty, with any shape.
        fresh = db.collection("c", 2, "l2")
        assert len(fresh) == 0
        assert fresh.get("a") is None
        assert fresh.search([0.0, 0.0], 5) == []
        assert db.collections() == ["c", "other"]
        assert len(held) == 3

    def test_drop_removes_a_symbolic_link_not_its_target(self, db, db_path, tmp_path):
        target = tmp_path / "elsewhere"
        target.mkdir()
        (target / "precious").write_text("keep me")
        (db_path / "collections" / "link").symlink_to(target, target_is_directory=True)
        coll = db.collection("link", 2, "dot")
        coll.add([1.0, 0.0], {}, id="a")
        coll.sync()
        del coll
        assert db.drop_collection("link") is None
        assert not os.path.lexists(db_path / "collections" / "link")
        assert (target / "precious").read_text() == "keep me"
        assert db.collections() == []

    def test_drop_of_unknown_name_is_harmless(self, db, db_path):
        db.collection("keep", 2)
        assert db.drop_collection("nothing") is None
        assert db.drop_collection("Keep") is None
        assert db.collections() == ["keep"]
        assert listing(db_path / "collections") == ["keep"]

    def test_drop_then_reopen(self, db_path):
        db = tessello.Tessello(str(db_path))
        db.collection("c", 2).add([1.0, 0.0], {}, id="a")
        db.drop_collection("c")
        del db
        db = tessello.Tessello(str(db_path))
        assert db.collections() == []
        assert len(db.collection("c", 3)) == 0

    @pytest.mark.parametrize("left", ["moved-aside", "moved-aside-and-unregistered"])
    def test_name_after_an_interrupted_drop_starts_empty(self, db_path, left):
        # What a drop that died between its steps leaves: the directory in
        # the folder beside "collections", the name still registered or not.
        db = tessello.Tessello(str(db_path))
        coll = db.collection("c", 2, "dot")
        coll.add_batch([[1.0, float(i)] for i in range(150)], [{"i": i} for i in range(150)])
        db.collection("keep", 2).add([1.0, 0.0], {}, id="k")
        del coll, db
        gc.collect()
        dropped = db_path / "collections.dropped"
        dropped.mkdir()
        if left == "moved-aside":
            os.rename(db_path / "collections" / "c", dropped / "0")
        else:
            db = tessello.Tessello(str(db_path))
            shutil.copytree(db_path / "collections" / "c", dropped / "0")
            db.drop_collection("c")
            assert listing(dropped) == ["0"]  # the drop removes only its own
            del db
        db = tessello.Tessello(str(db_path))
        assert listing(db_path) == ["collections", "meta.redb", "meta.redb-lock"]
        expected = ["c", "keep"] if left == "moved-aside" else ["keep"]
        assert db.collections() == expected
        again = db.collection("c", 2, "dot")
        assert len(again) == 0
        assert again.search([1.0, 0.0], 5) == []
        assert len(db.get_collection("keep")) == 1

    def test_sync_makes_every_cached_collection_durable(self, db_path, tmp_path):
        db = tessello.Tessello(str(db_path))
        assert db.sync() is None
        a = db.collection("a", 2, "dot")
        b = db.collection("b", 2, "dot")
        for i in range(5):
            a.add([1.0, float(i)], {"i": i}, id=f"a{i}")
            b.add([float(i), 1.0], {"i": i}, id=f"b{i}")
        assert db.sync() is None
        # A copy taken while this object is still open holds what was synced;
        # nothing depends on the flush that releasing the objects does.
        copy = tmp_path / "copy"
        shutil.copytree(db_path, copy, ignore=shutil.ignore_patterns("*-lock"))
        other = tessello.Tessello(str(copy))
        assert other.collections() == ["a", "b"]
        assert len(other.get_collection("a")) == 5
        assert other.get_collection("b").get("b3").metadata == {"i": 3}
        assert [r.id for r in other.get_collection("a").search([0.0, 1.0], 2)] == ["a4", "a3"]

    def test_recovery_stats(self, db):
        stats = db.recovery_stats()
        assert type(stats) is tessello.RecoveryStats
        assert (stats.promoted, stats.rolled_back, stats.tombstones) == (0, 0, 0)
        assert all(type(v) is int for v in (stats.promoted, stats.rolled_back, stats.tombstones))
        assert repr(stats) == "RecoveryStats(promoted=0, rolled_back=0, tombstones=0)"
        assert db.recovery_stats() is not stats

    def test_repr_counts_registered_collections(self, db):
        assert repr(db) == "Tessello(collections=0)"
        db.collection("x", 2)
        db.collection("y", 2)
        db.collection("x", 2)
        assert repr(db) == "Tessello(collections=2)"
        db.drop_collection("x")
        assert repr(db) == str(db) == "Tessello(collections=1)"


# Collection names that are not a single path component, and some that are.
REFUSED_NAMES = [
    "",
    ".",
    "..",
    "a/b",
    "/abs",
    "../escape",
    "../../escape",
    "keep/..",
    "a\0b",
    "\0",
    "x" * 256,
    "\u00e9" * 128,  # 256 bytes in UTF-8
    "./x",
    "x/",
]
ACCEPTED_NAMES = ["x" * 255, "\u00e9" * 127 + "a", "...", ".hidden", "a b", "a\\b", "-"]


class TestCollectionNames:
    @pytest.mark.parametrize("name", REFUSED_NAMES, ids=range(len(REFUSED_NAMES)))
    def test_refused_names_register_nothing(self, db, db_path, name):
        db.collection("keep", 2)
        with pytest.raises(ValueError) as e:
            db.collection(name, 4, "dot")
        assert type(e.value) is ValueError
        assert e.value.args[0].startswith("Invalid input: "), e.value.args
        assert len(e.value.args) == 1
        assert db.collections() == ["keep"]
        assert set(listing(db_path)) <= {"collections", "meta.redb", "meta.redb-lock"}
        assert listing(db_path / "collections") == ["keep"]
        with pytest.raises(KeyError):
            db.get_collection(name)
        assert db.collections() == ["keep"]

    @pytest.mark.parametrize("name", ACCEPTED_NAMES, ids=range(len(ACCEPTED_NAMES)))
    def test_accepted_names(self, db, db_path, name):
        coll = db.collection(name, 2, "dot")
        coll.add([1.0, 0.0], {}, id="a")
        coll.sync()
        assert coll.name == name
        assert db.collections() == [name]
        assert (db_path / "collections" / name / "vectors.bin").is_file()
        assert db.drop_collection(name) is None
        assert db.collections() == []
        assert not (db_path / "collections" / name).exists()

    @pytest.mark.parametrize("name", REFUSED_NAMES, ids=range(len(REFUSED_NAMES)))
    def test_drop_never_removes_outside_its_directory(self, tmp_path, name):
        db_path = tmp_path / "db"
        db = tessello.Tessello(str(db_path))
        keep = db.collection("keep", 2, "dot")
        keep.add([1.0, 0.0], {}, id="a")
        keep.sync()
        (tmp_path / "escape").mkdir()
        (tmp_path / "escape" / "file").write_text("precious")
        (db_path / "collections" / "keep" / "x").mkdir()
        before = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
        try:
            result = db.drop_collection(name)
        except OSError:
            pass
        else:
            assert result is None
        after = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
        assert after == before
        assert db.collections() == ["keep"]
        assert keep.get("a") is not None

    def test_drop_of_an_absolute_path_name_leaves_it_alone(self, db, tmp_path):
        victim = tmp_path / "victim"
        victim.mkdir()
        (victim / "file").write_text("precious")
        try:
            db.drop_collection(str(victim))
        except OSError:
            pass
        assert (victim / "file").read_text() == "precious"
        with pytest.raises(ValueError):
            db.collection(str(victim), 2)
        assert listing(victim) == ["file"]
