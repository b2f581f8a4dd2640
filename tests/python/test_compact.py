"""compact of Collection and the CompactStats it returns."""

import re

import tessello


def test_compact_removes_expired_records(make_coll):
    c = make_coll(4)
    c.add_batch([[1, 0, 0, 0]] * 3, [{}] * 3, ids=["a", "b", "c"], ttls=[0, None, 0])
    stats = c.compact()
    assert isinstance(stats, tessello.CompactStats)
    assert (stats.expired_removed, stats.tombstones_removed, stats.bytes_freed) == (2, 0, 32)
    assert isinstance(stats.duration_ms, int) and stats.duration_ms >= 0
    assert re.fullmatch(r"CompactStats\(expired_removed=2, tombstones_removed=0, bytes_freed=32, "
                        r"duration_ms=\d+\)", repr(stats))
    again = c.compact()
    assert (again.expired_removed, again.tombstones_removed, again.bytes_freed) == (0, 0, 0)
    assert len(c) == 1 and c.get("b") is not None


def test_compact_leaves_buffered_records(make_coll):
    c = make_coll(2)
    c.add([1, 0], {}, id="soon", ttl=0)
    assert c.compact().expired_removed == 0
    c.sync()
    assert c.compact().expired_removed == 1


def test_signature():
    assert tessello.Collection.compact.__text_signature__ == "($self)"
    assert tessello.Collection.compact.__doc__.startswith("Compact the collection")
