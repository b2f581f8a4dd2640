"""Throughput of 8 client threads searching at once (k = 10, one query per
call): tessello beside numpy einsum + argpartition in 8 threads (numpy gives
the interpreter lock up while it computes, as tessello does)."""

import threading
import time

from . import data
from .anchors import numpy_search
from .stats import Figure
from .table import Row, Target, fmt_rate

CLIENTS = 8


def _throughput(fn, queries, per_client):
    """Searches per second of CLIENTS threads, each making per_client calls
    over its own share of the queries, from a common start to the last end."""
    start = threading.Barrier(CLIENTS + 1)
    failures = []

    def client(c):
        qs = [queries[(c * per_client + i) % len(queries)] for i in range(per_client)]
        start.wait()
        try:
            for q in qs:
                fn(q)
        except Exception as e:  # reported after the run; a failed run is no figure
            failures.append(e)

    threads = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    if failures:
        raise failures[0]
    return CLIENTS * per_client / elapsed


def measure(ctx, work, coll, x):
    s = ctx.sizes
    queries = data.gaussian(CLIENTS * s.client_searches, x.shape[1], stream=11)
    engines = {"tessello": lambda q: coll.search(q, k=10), "numpy": numpy_search(x, 10)}
    ctx.log(f"{CLIENTS} clients {work}: {s.client_repeats} repetitions × {len(engines)} engines")
    rates = {name: [] for name in engines}
    for name, fn in engines.items():  # warm-up
        _throughput(fn, queries, max(5, s.client_searches // 10))
    for _ in range(s.client_repeats):
        for name, fn in engines.items():
            rates[name].append(_throughput(fn, queries, s.client_searches))
    ctx.table.add(Row(f"{CLIENTS} clients {work} throughput", Figure.of(rates["tessello"]), fmt_rate("/s"),
                      f"numpy, {CLIENTS} threads", Figure.of(rates["numpy"]), Target(">=", 3)))
