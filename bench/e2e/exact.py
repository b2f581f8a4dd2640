"""Exact search, k = 10, cosine, one query at a time: tessello beside numpy's
einsum + argpartition over the same (unit) vectors, faiss's IndexFlatIP when
installed, and the floor: a streaming read of the collection's vector file by
the helper stream_read (C++, AVX2 loads, as many threads as tessello's pool)."""

import os

import numpy as np

from . import data
from .anchors import faiss_flat_search, numpy_search
from .runner import disagreements, interleaved
from .stats import Figure, latency
from .table import Row, Target, fmt_ms

K = 10
FILTER = {"topic": "t3"}


def vectors_file(db_dir, collection):
    return os.path.join(db_dir, "collections", collection, "vectors.bin")


def measure(ctx, work, coll, vectors_path, x, n_queries, stream, numpy_target=None, floor_target=None,
            filtered_target=None):
    """Adds the rows of one exact-search size. With filtered_target, the
    filtered search runs in the same rounds and is read against numpy's
    unfiltered search."""
    n, d = x.shape
    queries = data.gaussian(n_queries, d, stream)
    engines = {"tessello": lambda q: coll.search(q, k=K), "numpy": numpy_search(x, K)}
    if filtered_target is not None:
        engines["tessello filtered"] = lambda q: coll.search(q, k=K, where_=FILTER)
    faiss_index = None
    if ctx.faiss is not None:
        engines["faiss"], faiss_index = faiss_flat_search(ctx.faiss, x, K)
    ctx.log(f"exact {work}: {n_queries} queries × {len(engines)} engines")
    timed = interleaved(engines, queries, ctx.sizes.rounds)
    del faiss_index

    # The answers are checked, untimed: a fast wrong search is no figure.
    ids = [[int(h.id) for h in hits] for hits in timed["tessello"][1]]
    wrong = disagreements(timed["numpy"][1], ids)
    note = f"{wrong} of {n_queries} queries' hit sets differ from numpy's" if wrong else ""

    passes = max(20, n_queries // 4)
    floor = ctx.tools.stream_read(vectors_path, 64, n * d * 4, ctx.threads, passes)
    floor_fig = Figure(floor["p50_ms"], floor["p25_ms"], floor["p75_ms"], passes)

    mine = latency(timed["tessello"][0])
    numpy_fig = latency(timed["numpy"][0])
    t = ctx.table
    t.add(Row(f"exact {work} p50", mine, fmt_ms, "numpy einsum+argpartition", numpy_fig,
              Target("<=", numpy_target) if numpy_target else None, note))
    t.add(Row(f"exact {work} p50", mine, fmt_ms, f"streaming read ({ctx.threads} thr)", floor_fig,
              Target("<=", floor_target) if floor_target else None))
    if ctx.faiss is not None:
        t.add(Row(f"exact {work} p50", mine, fmt_ms, "faiss IndexFlatIP", latency(timed["faiss"][0])))
    if filtered_target is not None:
        ok = [i for i in range(n) if i % data.TOPICS == 3]
        sub = x[ok]
        check = [np.asarray(ok)[numpy_search(sub, K)(q)] for q in queries[:20]]
        got = [[int(h.id) for h in hits] for hits in timed["tessello filtered"][1][:20]]
        wrong = disagreements(check, got)
        t.add(Row(f"exact {work} {{\"topic\": \"t3\"}} (1 in {data.TOPICS}) p50",
                  latency(timed["tessello filtered"][0]), fmt_ms, "numpy unfiltered", numpy_fig,
                  Target("<=", filtered_target),
                  f"{wrong} of 20 checked queries' hit sets differ from numpy's on the filtered rows"
                  if wrong else ""))
    return queries
