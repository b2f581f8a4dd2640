"""The graph index at n × 128 on low-rank data (rank-24 factors plus noise,
normalised): build time, and recall@10 and p50 latency at ef 32, 64 and 128,
beside hnswlib (M = 16, ef_construction = 100) when installed.

A collection has a graph index when its registry entry carries graph
parameters, and no Python call sets them. So each collection is created from
Python, the database closed, and the parameters planted in its entry by the
helper plant_hnsw (the core's own registry encoding, through the core's
key-value store; tools/plant_hnsw.cpp). ef_search is one of those parameters,
so each ef value has its own collection, and each of them builds its graph:
the build is timed three times. The parameters are hnswlib's for M = 16: m 16,
m0 32, max_m 16, ef_construction 100, level multiplier 1 / ln 16.

The build happens where the core does it: the graph is brought up to date
before a query and before a sync saves it, so the records are added with
add_batch and the first search that follows, with no sync between, is timed
as the build. The add_batch's own time is given in the notes, so that a build
moved into the write would show there.

Each engine answers a warm-up set of queries (a stream of their own, as many
as the timed ones) untimed before each ef is timed, so both are timed in
their steady state: without it tessello's first collection is timed cold,
after the builds of two more collections and of hnswlib's index have pushed
it out of the caches, while hnswlib's index was built last and is still hot.
The warm-up's own p50 is given in the notes."""

import math
import time

import numpy as np

from . import data
from .context import release
from .runner import interleaved
from .stats import Figure, latency
from .table import Row, Target, fmt_ms, fmt_seconds

D = 128
M = 16
EF_CONSTRUCTION = 100
EFS = (32, 64, 128)
RECALL = 0.95


def _recall(results, truth):
    return float(np.mean([len(set(map(int, r)) & set(t.tolist())) / len(t) for r, t in zip(results, truth)]))


def _tessello_collection(ctx, tessello, x, ef):
    path = ctx.db_dir(f"graph-ef{ef}")
    db = tessello.Tessello(path)
    db.collection("graph", dim=D, metric="cosine")
    del db
    release()
    ctx.tools.plant_hnsw(path, "graph", M, 2 * M, M, EF_CONSTRUCTION, ef, 1.0 / math.log(M))
    db = tessello.Tessello(path)
    c = db.get_collection("graph")
    n = len(x)
    t0 = time.perf_counter()
    c.add_batch(x, data.small_metadata(0, n), ids=data.given_ids(0, n))
    t1 = time.perf_counter()
    c.search(x[0], k=10)
    t2 = time.perf_counter()
    return db, c, t1 - t0, t2 - t1


def measure(ctx, tessello):
    s = ctx.sizes
    n = s.n
    work = f"graph {n:,} × {D} low-rank"
    x = data.low_rank(n, D, stream=31)
    queries = data.low_rank(s.graph_queries, D, stream=32)
    warm_queries = data.low_rank(s.graph_queries, D, stream=33)
    truth = data.exact_top_k(x, queries, 10)

    held, adds, builds = {}, [], []
    for ef in EFS:
        ctx.log(f"{work}: tessello collection with ef_search {ef} (add_batch, then the build)")
        db, c, add_seconds, build_seconds = _tessello_collection(ctx, tessello, x, ef)
        held[ef] = (db, c)
        adds.append(add_seconds)
        builds.append(build_seconds)

    index, hnsw_builds = None, []
    if ctx.hnswlib is not None:
        for b in range(s.hnswlib_builds):
            ctx.log(f"{work}: hnswlib build {b + 1} of {s.hnswlib_builds} ({ctx.threads} threads)")
            index = ctx.hnswlib.Index(space="ip", dim=D)
            index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
            t0 = time.perf_counter()
            index.add_items(x, np.arange(n), num_threads=ctx.threads)
            hnsw_builds.append(time.perf_counter() - t0)

    t = ctx.table
    t.add(Row(f"{work}: build (M={M}, ef_construction={EF_CONSTRUCTION})", Figure.of(builds), fmt_seconds,
              f"hnswlib, {ctx.threads} threads" if index is not None else "–",
              Figure.of(hnsw_builds) if hnsw_builds else None, Target("<=", 1) if hnsw_builds else None,
              f"tessello: the first search after add_batch (no sync between), one build per ef collection; "
              f"the add_batch before it took {Figure.of(adds).value:.2f} s"))

    measured, warm = {}, {}
    for ef in EFS:
        c = held[ef][1]
        engines = {"tessello": lambda q, c=c: [h.id for h in c.search(q, k=10)]}
        if index is not None:
            index.set_ef(ef)
            engines["hnswlib"] = lambda q: index.knn_query(q, k=10, num_threads=1)[0][0]
        ctx.log(f"{work}: ef {ef}, {len(warm_queries)} warm-up and {len(queries)} timed queries × "
                f"{len(engines)} engines")
        warm[ef] = {name: latency(ts) for name, (ts, _) in interleaved(engines, warm_queries, 1, warm=0).items()}
        timed = interleaved(engines, queries, ctx.sizes.rounds, warm=0)
        measured[ef] = {name: (latency(ts), _recall(rs, truth)) for name, (ts, rs) in timed.items()}
        mine, recall = measured[ef]["tessello"]
        theirs = measured[ef].get("hnswlib")
        t.add(Row(f"{work}: ef {ef} p50, recall {recall:.3f}"
                  + (f" (hnswlib {theirs[1]:.3f})" if theirs else ""), mine, fmt_ms,
                  "hnswlib" if theirs else "–", theirs[0] if theirs else None))

    if index is not None:
        def first_at_recall(name):
            return next((ef for ef in EFS if measured[ef][name][1] >= RECALL), None)

        mine_ef, theirs_ef = first_at_recall("tessello"), first_at_recall("hnswlib")
        row = Row(f"{work}: p50 at recall ≥ {RECALL} (tessello ef {mine_ef}, hnswlib ef {theirs_ef})",
                  measured[mine_ef]["tessello"][0] if mine_ef else None, fmt_ms, "hnswlib",
                  measured[theirs_ef]["hnswlib"][0] if theirs_ef else None, Target("<=", 1),
                  "each at the smallest ef measured whose recall@10 reaches the bound"
                  + (f"; p50 of the warm-up queries, the first after the builds: tessello "
                     f"{warm[mine_ef]['tessello'].value:.3f} ms, hnswlib {warm[theirs_ef]['hnswlib'].value:.3f} ms"
                     if mine_ef and theirs_ef else ""))
        if mine_ef is None:
            row.note = f"tessello reaches recall@10 {RECALL} at none of ef {EFS}"
            row.met_override = False
        elif theirs_ef is None:
            row.note = f"hnswlib reaches recall@10 {RECALL} at none of ef {EFS}: nothing to compare with"
        t.add(row)

    del index
    for ef in EFS:
        held[ef] = None
    release()
