"""What every section of the benchmark shares: sizes, query counts, the
scratch directory, the helper programs, the anchors and the table."""

import gc
import os
import sys
import time
from dataclasses import dataclass, field

from .table import Table


@dataclass
class Sizes:
    n: int            # the 100,000-record collections
    n_big: int        # the 1,000,000-record collection
    q_small: int      # queries at n × 128
    q_wide: int       # queries at n × 768
    q_big: int        # queries at n_big × 128 (each engine, filtered and not)
    rounds: int       # rounds the queries are cut into, engines taking turns
    client_searches: int  # searches each of the 8 clients makes in one repetition
    client_repeats: int
    write_repeats: int
    looped_adds: int
    graph_queries: int
    hnswlib_builds: int

    @classmethod
    def full(cls):
        return cls(n=100_000, n_big=1_000_000, q_small=400, q_wide=200, q_big=60, rounds=4,
                   client_searches=150, client_repeats=3, write_repeats=3, looped_adds=20_000,
                   graph_queries=300, hnswlib_builds=2)

    @classmethod
    def quick(cls):
        return cls(n=10_000, n_big=100_000, q_small=60, q_wide=40, q_big=20, rounds=2,
                   client_searches=30, client_repeats=2, write_repeats=2, looped_adds=3_000,
                   graph_queries=60, hnswlib_builds=1)


def label(n, d):
    return f"{n:,} × {d}"


@dataclass
class Context:
    quick: bool
    sizes: Sizes
    work: str          # scratch directory, removed at the end
    tools: object      # tools.Tools
    threads: int       # tessello's worker pool size
    faiss: object
    hnswlib: object
    table: Table = field(default_factory=Table)
    started: float = field(default_factory=time.monotonic)

    def log(self, message):
        print(f"[{time.monotonic() - self.started:7.1f} s] {message}", file=sys.stderr, flush=True)

    def db_dir(self, name):
        return os.path.join(self.work, name)


def release(*_):
    """Lets the core go of what Python objects no longer hold: the caller
    has dropped its last references to a database and its collections."""
    gc.collect()
