"""Timing one-query-at-a-time searches of several engines in the same run."""

import time


def interleaved(engines, queries, rounds, warm=5):
    """Times every engine (name -> function of one query) on every query, one
    call at a time. The queries are cut into `rounds` blocks and the engines
    take turns block by block, so a slow spell of the shared machine falls on
    all of them alike. Each engine first answers `warm` queries untimed.
    Returns name -> (per-call nanoseconds, per-query results)."""
    for fn in engines.values():
        for q in queries[:warm]:
            fn(q)
    times = {name: [] for name in engines}
    results = {name: [None] * len(queries) for name in engines}
    bounds = [len(queries) * r // rounds for r in range(rounds + 1)]
    clock = time.perf_counter_ns
    for r in range(rounds):
        for name, fn in engines.items():
            t, out = times[name], results[name]
            for i in range(bounds[r], bounds[r + 1]):
                q = queries[i]
                t0 = clock()
                res = fn(q)
                t.append(clock() - t0)
                out[i] = res
    return {name: (times[name], results[name]) for name in engines}


def disagreements(expected, got):
    """Queries whose set of hit indices differs (ties at the cut can differ
    legitimately between engines; a large count means a wrong answer)."""
    return sum(1 for e, g in zip(expected, got) if set(map(int, e)) != set(map(int, g)))
