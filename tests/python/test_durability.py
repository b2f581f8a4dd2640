"""What survives releasing the objects and reopening the database."""

import gc

import pytest

import tessello
from support import run_python

LOCKED = "Database error: Database already open. Cannot acquire lock."


def fill(coll, count, prefix="r"):
    for i in range(count):
        coll.add([1.0, float(i)], {"i": i}, id=f"{prefix}{i:04d}")


def check_records(db_path, name, count, prefix="r"):
    db = tessello.Tessello(str(db_path))
    coll = db.get_collection(name)
    assert len(coll) == count
    for i in (0, count // 2, count - 1):
        assert coll.get(f"{prefix}{i:04d}").metadata == {"i": i}
    hits = coll.search([0.0, 1.0], count + 5)
    assert sorted(h.id for h in hits) == [f"{prefix}{i:04d}" for i in range(count)]


@pytest.mark.parametrize("count", [5, 250])
def test_sync_then_reopen(db_path, count):
    db = tessello.Tessello(str(db_path))
    coll = db.collection("c", 2, "dot")
    fill(coll, count)
    assert coll.sync() is None
    del coll, db
    check_records(db_path, "c", count)


@pytest.mark.parametrize(
    "release",
    ["collection-first", "database-first", "only-database"],
)
def test_release_flushes_the_buffer(db_path, release):
    db = tessello.Tessello(str(db_path))
    if release == "only-database":
        fill(db.collection("c", 2, "dot"), 5)  # only the cache holds the core
        del db
    else:
        coll = db.collection("c", 2, "dot")
        fill(coll, 5)
        assert len(coll) == 5
        if release == "collection-first":
            del coll
            gc.collect()
            del db
        else:
            del db
            gc.collect()
            del coll
    gc.collect()
    check_records(db_path, "c", 5)


def test_process_exit_keeps_added_records(db_path):
    proc = run_python(
        "import tessello\n"
        f"db = tessello.Tessello({str(db_path)!r})\n"
        "coll = db.collection('c', 2, 'dot')\n"
        "for i in range(7):\n"
        "    coll.add([1.0, float(i)], {'i': i}, id=f'r{i:04d}')\n"
        "print(len(coll))\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "7"
    check_records(db_path, "c", 7)


def test_held_collection_keeps_its_files_locked(db_path):
    first = tessello.Tessello(str(db_path))
    held = first.collection("c", 2, "dot")
    fill(held, 3)
    del first
    gc.collect()
    # The registry is free again, but the collection's own store is not.
    second = tessello.Tessello(str(db_path))
    assert second.collections() == ["c"]
    with pytest.raises(ValueError) as e:
        second.collection("c", 2, "dot")
    assert e.value.args == (LOCKED,)
    with pytest.raises(KeyError) as e:
        second.get_collection("c")
    assert e.value.args == (LOCKED,)
    # The held object still works; releasing it flushes and unlocks.
    fill(held, 4, prefix="s")
    assert len(held) == 7
    del held, e
    gc.collect()
    coll = second.collection("c", 2, "dot")
    assert len(coll) == 7
    assert coll.get("s0003").metadata == {"i": 3}


def test_wrapper_release_alone_keeps_the_cached_core(db):
    coll = db.collection("c", 2, "dot")
    fill(coll, 3)
    del coll
    gc.collect()
    again = db.collection("c", 2, "dot")
    assert len(again) == 3  # the same core, its buffer intact
    assert again.get("r0002").metadata == {"i": 2}
