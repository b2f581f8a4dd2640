#!/usr/bin/env python3
"""tessello's end-to-end benchmark: `make bench` builds a release extension
and the helper programs into build-bench/ and runs this.

Every figure is measured from Python in this run beside its anchor (numpy on
the same vectors, a streaming read of the same file, faiss and hnswlib when
their Debian packages are installed) and printed in one table with the ratio
and the target for that row. Progress goes to stderr, the table to stdout.

  /usr/bin/python3 bench/run.py [--quick] [--build DIR] [--keep]

--quick shrinks every size tenfold and cuts the query counts, for trying the
benchmark out; its figures are not the ones the targets speak of."""

import argparse
import os
import shutil
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="reduced sizes and query counts")
    p.add_argument("--build", default=os.path.join(REPO, "build-bench"),
                   help="the build tree holding python/ and bench/ (default: build-bench)")
    p.add_argument("--keep", action="store_true", help="keep the scratch databases")
    return p.parse_args()


def main():
    args = parse_args()
    # The table goes to the stdout this process was given; what the core or
    # a library writes to its file descriptor 1 (progress of a graph build,
    # say) goes to stderr with the progress lines, so it never splits the table.
    table_out = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    sys.stdout = sys.stderr

    sys.path.insert(0, os.path.join(os.path.abspath(args.build), "python"))
    import numpy as np  # noqa: F401  (before tessello: it loads numpy's C API)
    import tessello

    from e2e import clients, data, exact, graph, machine, memory, writes
    from e2e.anchors import load_faiss, load_hnswlib
    from e2e.context import Context, Sizes, label, release
    from e2e.tools import Tools

    faiss, faiss_note = load_faiss()
    hnswlib, hnswlib_note = load_hnswlib()
    header = machine.describe(REPO, faiss, hnswlib, args.quick)
    work = tempfile.mkdtemp(prefix="tessello-bench-")
    ctx = Context(quick=args.quick, sizes=Sizes.quick() if args.quick else Sizes.full(), work=work,
                  tools=Tools(os.path.join(os.path.abspath(args.build), "bench")), threads=machine.pool_threads(),
                  faiss=faiss, hnswlib=hnswlib)
    for note in (faiss_note, hnswlib_note):
        if note:
            ctx.table.notes.append(note)
    for line in header:
        ctx.log(line)
    s = ctx.sizes
    failed = []

    def section(name, fn):
        try:
            fn()
        except Exception:
            failed.append(name)
            ctx.table.notes.append(f"section '{name}' failed:\n{traceback.format_exc()}")
            ctx.log(f"section {name} failed:\n{traceback.format_exc()}")
        release()

    def writes_section():
        writes.batches(ctx, tessello)

    def exact_small():
        for d, n_queries, numpy_target, floor_target in ((128, s.q_small, 0.15, None), (768, s.q_wide, None, 1.3)):
            x = data.gaussian(s.n, d, stream=d)
            path = ctx.db_dir(f"exact-{d}")
            db = tessello.Tessello(path)
            c = db.collection("exact", dim=d, metric="cosine")
            c.add_batch(x, data.small_metadata(0, s.n), ids=data.given_ids(0, s.n))
            c.sync()
            exact.measure(ctx, label(s.n, d), c, exact.vectors_file(path, "exact"), x, n_queries, stream=100 + d,
                          numpy_target=numpy_target, floor_target=floor_target)
            if d == 128:
                clients.measure(ctx, label(s.n, d), c, x)
            del c, db
            release()

    def big():
        x = data.gaussian(s.n_big, 128, stream=1000)
        path = ctx.db_dir("big")
        db = tessello.Tessello(path)
        c = writes.sustained(ctx, db, "given", x, given_ids=True)
        exact.measure(ctx, label(s.n_big, 128), c, exact.vectors_file(path, "given"), x, s.q_big, stream=1128,
                      numpy_target=0.2, filtered_target=0.25)
        del c, db
        release()
        memory.measure(ctx, path, "given")

        db = tessello.Tessello(ctx.db_dir("big-generated"))
        c = writes.sustained(ctx, db, "generated", x, given_ids=False)
        del c
        db.drop_collection("generated")
        del db

    def graph_section():
        graph.measure(ctx, tessello)

    section("add_batch and looped add", writes_section)
    section("exact search and clients at n", exact_small)
    section("n_big: sustained add_batch, exact search, memory", big)
    section("graph index", graph_section)

    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    elapsed = time.monotonic() - ctx.started
    load = os.getloadavg()
    out = header + [
        f"ran {elapsed / 60:.1f} min; load average at the end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}",
        "figures: p50 with the 25th–75th percentile in brackets (the extremes where there are fewer than 8 "
        "samples); ratio = tessello / anchor; latencies are per search, k = 10, cosine, one query at a time",
        f"anchors: numpy = einsum + argpartition over the same unit vectors, one thread per query; streaming "
        f"read = one pass of C++ AVX2 loads over the collection's vectors.bin in {ctx.threads} threads "
        f"(bench/tools/stream_read.cpp); disk = writing the same vectors to a file and fsyncing it",
        "",
        ctx.table.render(),
    ]
    if ctx.table.notes:
        out += ["", "notes:"] + [f"- {n}" for n in ctx.table.notes]
    if args.keep:
        out.append(f"scratch databases kept in {work}")
    print("\n".join(out), file=table_out, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
