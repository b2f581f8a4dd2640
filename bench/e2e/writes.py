"""Write throughput at d = 128 with small metadata ({"topic": "t<i mod 17>"}):
add_batch then sync into a fresh collection, with given identifiers ("0",
"1", ...) and with generated ones; add_batch sustained up to n_big records
(the rate of the last batch of n, with the closing sync); and add in a loop,
then sync. The anchor is the disk: writing the same vectors to a file and
fsyncing it, once for a batch, every 100 records for the loop (the write-behind
buffer flushes every 100 adds)."""

import os
import time

from . import data
from .stats import Figure
from .table import Row, Target, fmt_rate

D = 128


def _disk_rate(path, x, every):
    """Records per second of writing x's rows to a new file, fsyncing after
    every `every` rows (and at the end)."""
    raw = x.tobytes()
    row = x.shape[1] * 4
    t0 = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for start in range(0, len(x), every):
            os.write(fd, raw[start * row:(start + every) * row])
            os.fsync(fd)
    finally:
        os.close(fd)
    elapsed = time.perf_counter() - t0
    os.unlink(path)
    return len(x) / elapsed


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def batches(ctx, tessello):
    s = ctx.sizes
    x = data.gaussian(s.n, D, stream=21)
    md = data.small_metadata(0, s.n)
    ids = data.given_ids(0, s.n)
    db = tessello.Tessello(ctx.db_dir("writes"))
    scratch = os.path.join(ctx.work, "disk-anchor.bin")
    given, generated, looped, disk_batch, disk_loop = [], [], [], [], []
    m = s.looped_adds
    ctx.log(f"add_batch {s.n:,} × {D} and looped add ×{m:,}: {s.write_repeats} repetitions")
    for r in range(s.write_repeats):
        c = db.collection(f"given{r}", dim=D, metric="cosine")
        given.append(s.n / _timed(lambda: (c.add_batch(x, md, ids=ids), c.sync())))
        c = db.collection(f"generated{r}", dim=D, metric="cosine")
        generated.append(s.n / _timed(lambda: (c.add_batch(x, md), c.sync())))
        disk_batch.append(_disk_rate(scratch, x, len(x)))

        c = db.collection(f"looped{r}", dim=D, metric="cosine")

        def loop():
            for i in range(m):
                c.add(x[i], md[i], id=ids[i])
            c.sync()

        looped.append(m / _timed(loop))
        disk_loop.append(_disk_rate(scratch, x[:m], 100))
        del c
        for name in (f"given{r}", f"generated{r}", f"looped{r}"):
            db.drop_collection(name)
    del db

    work = f"{s.n:,} × {D} small metadata, then sync"
    disk = Figure.of(disk_batch)
    t = ctx.table
    t.add(Row(f"add_batch {work}, given ids", Figure.of(given), fmt_rate("rec/s"), "disk: write + fsync", disk,
              Target(">=", 500_000, ratio=False)))
    t.add(Row(f"add_batch {work}, generated ids", Figure.of(generated), fmt_rate("rec/s"), "disk: write + fsync",
              disk, Target(">=", 500_000, ratio=False)))
    t.add(Row(f"looped add ×{m:,} then sync, d = {D}", Figure.of(looped), fmt_rate("rec/s"),
              "disk: fsync per 100", Figure.of(disk_loop), Target(">=", 80_000, ratio=False)))


def sustained(ctx, db, name, x, given_ids):
    """add_batch in batches of n up to len(x) records, then sync. Adds the row
    and leaves the collection filled (the caller searches it)."""
    s = ctx.sizes
    c = db.collection(name, dim=D, metric="cosine")
    per_batch = []
    ctx.log(f"add_batch to {len(x):,} × {D}, {'given' if given_ids else 'generated'} ids")
    for start in range(0, len(x), s.n):
        chunk = x[start:start + s.n]
        md = data.small_metadata(start, len(chunk))
        ids = data.given_ids(start, len(chunk)) if given_ids else None
        per_batch.append((len(chunk), _timed(lambda: c.add_batch(chunk, md, ids=ids))))
    closing = _timed(c.sync)
    last_n, last_t = per_batch[-1]
    total = sum(n for n, _ in per_batch) / (sum(t for _, t in per_batch) + closing)
    scratch = os.path.join(ctx.work, "disk-anchor.bin")
    disk = Figure.single(_disk_rate(scratch, x[-last_n:], last_n))
    kind = "given ids" if given_ids else "generated ids"
    ctx.table.add(Row(f"add_batch to {len(x):,} × {D}, {kind}: last {last_n:,} + sync",
                      Figure.single(last_n / (last_t + closing)), fmt_rate("rec/s"), "disk: write + fsync", disk,
                      Target(">=", 300_000, ratio=False),
                      f"whole run {total / 1e3:.0f}k rec/s; first batch {per_batch[0][0] / per_batch[0][1] / 1e3:.0f}k"
                      f" rec/s, last {last_n / last_t / 1e3:.0f}k rec/s before the sync"))
    return c
