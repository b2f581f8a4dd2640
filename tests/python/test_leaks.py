"""Reference counts and memory stay flat over many calls."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest


class Index:
    def __index__(self):
        return 3


def test_arguments_keep_their_reference_counts(make_coll, db):
    coll = make_coll(dim=4, metric="dot")
    metadata = {"tag": "x", "nested": {"n": [1, 2]}}
    vector = np.array([1.0, 2.0, 3.0, 4.0], np.float32)
    strided = np.arange(8, dtype=np.float64)[::2]
    as_list = [1.0, 0.5, 0.25, 0.125]
    where = {"tag": "x"}
    rid = "".join(["record", "-id"])  # not interned
    k = Index()
    watched = [metadata, vector, strided, as_list, where, rid, k, coll, db]
    before = [sys.getrefcount(o) for o in watched]
    for i in range(300):
        coll.add(vector, metadata, id=rid, ttl=k)
        coll.add(strided, metadata)
        coll.add(as_list, metadata, rid)
        coll.search(vector, k, where)
        coll.search(as_list, 2)
        coll.get(rid)
        repr(coll), len(coll), coll.name, coll.vectors_size_bytes
        for bad in (lambda: coll.add(vector[:3], metadata, id=rid),
                    lambda: coll.add(vector, [metadata]),
                    lambda: coll.search(vector, -1, where),
                    lambda: coll.search(as_list, 1, {"s": {1}}),
                    lambda: coll.add([1.0, "x", 2.0, 3.0], metadata)):
            try:
                bad()
            except (TypeError, ValueError, OverflowError):
                pass
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before


def test_memory_stays_flat(make_coll, db):
    coll = make_coll(dim=4, metric="dot")
    for i in range(20):
        coll.add([float(i), 1.0, 0.0, 0.0], {"i": i, "s": "v" * 50}, id=f"seed{i}")
    coll.sync()
    vector = np.array([1.0, 1.0, 0.0, 0.0], np.float32)

    def work(n):
        for i in range(n):
            hits = coll.search(vector, 5, {"s": {"$ne": "x"}})
            for h in hits:
                h.id, h.score, h.metadata, repr(h)
            coll.get("seed3").metadata
            coll.get("missing")
            coll.add(vector, {"j": i}, id="churn")
            db.recovery_stats()
            repr(db)
            try:
                coll.add("bad", {})
            except TypeError:
                pass
            try:
                db.get_collection("missing")
            except KeyError:
                pass

    work(200)  # warm every cache first
    gc.collect()
    tracemalloc.start()
    try:
        first = tracemalloc.take_snapshot()
        work(3000)
        gc.collect()
        second = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    filters = [tracemalloc.Filter(False, tracemalloc.__file__)]
    growth = sum(
        stat.size_diff
        for stat in second.filter_traces(filters).compare_to(first.filter_traces(filters), "filename")
    )
    # 3000 rounds of about 20 calls: a leak of one small object per call
    # would be far above this bound.
    assert growth < 100_000, growth
