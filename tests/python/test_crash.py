"""A Python process killed at random moments keeps what it was told is durable.

A child interpreter adds, syncs, batch-adds, upserts, deletes and compacts
through the public API and prints each call before making it and after it
returned; it is killed with SIGKILL at a random moment. Reopened, the
database holds every acknowledged record with its metadata, no deleted one,
nothing twice, and len() counts what is there. The call in flight at the kill
may or may not have happened. Bounded in time (about 12 s); the seed is in the
failure message.
"""

import json
import os
import random
import select
import signal
import subprocess
import sys
import time

import tessello

SECONDS = float(os.environ.get("TESSELLO_PY_CRASH_SECONDS", "12"))

WRITER = r"""
import json, random, sys
import tessello

seed, path = int(sys.argv[1]), sys.argv[2]
rng = random.Random(seed)
db = tessello.Tessello(path)
coll = db.collection("c", 3, "l2")
buffered = set()
written = 0


def say(*parts):
    sys.stdout.write(json.dumps(parts) + "\n")
    sys.stdout.flush()


def value():
    global written
    written += 1
    return [rng.uniform(-5, 5) for _ in range(3)], {"n": written, "seed": seed}


def free_id(taken=()):
    for _ in range(20):
        rid = f"r{rng.randrange(30)}"
        if rid not in buffered and rid not in taken:
            return rid
    return None


say("ready")
for _ in range(100000):
    r = rng.randrange(100)
    rid = free_id()
    if r < 40 and rid:
        vec, meta = value()
        say("begin", "add", rid, meta)
        coll.add(vec, meta, id=rid)
        buffered.add(rid)
    elif r < 52:
        rid = f"r{rng.randrange(30)}"
        vec, meta = value()
        say("begin", "upsert", rid, meta)
        coll.upsert(rid, vec, meta)
        buffered.add(rid)
    elif r < 64 and rid:
        say("begin", "delete", rid)
        coll.delete(rid)
    elif r < 72:
        ids, vecs, metas = [], [], []
        for _ in range(rng.randrange(1, 10)):
            rid = free_id(ids)
            if rid:
                vec, meta = value()
                ids.append(rid); vecs.append(vec); metas.append(meta)
        if not ids:
            continue
        say("begin", "batch", ids, metas)
        coll.add_batch(vecs, metas, ids=ids)
    elif r < 77:
        say("begin", "compact")
        coll.compact()
    else:
        say("begin", "sync")
        coll.sync()
        buffered.clear()
    say("done")
"""


class Model:
    """For each identifier, the metadata a reader may find (None: absent)."""

    def __init__(self):
        self.allowed = {}
        self.target = {}

    def allow(self, rid, meta):
        self.allowed.setdefault(rid, [None])
        if meta not in self.allowed[rid]:
            self.allowed[rid].append(meta)

    def settle(self, rid, meta):
        self.allowed[rid] = [meta]

    def begin(self, call):
        verb = call[0]
        if verb == "add":
            self.allow(call[1], call[2])
            self.target[call[1]] = call[2]
        elif verb == "upsert":
            self.allow(call[1], None)
            self.allow(call[1], call[2])
            self.target[call[1]] = call[2]
        elif verb == "delete":
            self.allow(call[1], None)
            self.target[call[1]] = None
        elif verb == "batch":
            for rid, meta in zip(call[1], call[2]):
                self.allow(rid, None)
                self.allow(rid, meta)
                self.target[rid] = meta

    def acknowledge(self, call):
        verb = call[0]
        if verb == "upsert":
            self.settle(call[1], None)
            self.allow(call[1], call[2])
        elif verb == "delete":
            self.settle(call[1], None)
        elif verb == "batch":
            for rid, meta in zip(call[1], call[2]):
                self.settle(rid, meta)
        elif verb == "sync":
            for rid, meta in self.target.items():
                self.settle(rid, meta)


def run_writer(path, seed, run_for):
    proc = subprocess.Popen(
        [sys.executable, "-c", WRITER, str(seed), path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(tessello.__file__))),
    )
    out = b""
    deadline = time.monotonic() + 30
    while b"\n" not in out and time.monotonic() < deadline and proc.poll() is None:
        ready, _, _ = select.select([proc.stdout], [], [], 0.05)
        if ready:
            out += os.read(proc.stdout.fileno(), 65536)
    stop = time.monotonic() + run_for
    while time.monotonic() < stop:
        ready, _, _ = select.select([proc.stdout], [], [], max(0.0, stop - time.monotonic()))
        if ready:
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
    proc.send_signal(signal.SIGKILL)
    rest, err = proc.communicate(timeout=30)
    return proc.returncode, out + rest, err


def check(path, model):
    """Violations of the model; the model is reset to what was found."""
    violations = []
    db = tessello.Tessello(path)
    coll = db.collection("c", 3, "l2")
    found = {}
    for rid in sorted(model.allowed):
        hit = coll.get(rid)
        meta = None if hit is None else hit.metadata
        if meta not in model.allowed[rid]:
            violations.append(f"{rid} holds {meta}, allowed {model.allowed[rid]}")
        if meta is not None:
            found[rid] = meta
    n = len(coll)
    if n != len(found):
        violations.append(f"len() is {n} with {len(found)} records found")
    if n:
        hits = coll.search([0.0, 0.0, 0.0], n + 10)
        ids = [h.id for h in hits]
        if sorted(ids) != sorted(found):
            violations.append(f"search over every record gives {sorted(ids)}, found {sorted(found)}")
    del coll, db
    model.allowed = {rid: [meta] for rid, meta in found.items()}
    model.target = dict(found)
    return violations


def test_killed_writer_keeps_acknowledged_records(tmp_path):
    path = str(tmp_path / "db")
    first_seed = random.randrange(1 << 30)
    timing = random.Random(first_seed)
    model = Model()
    kills = checked = 0
    end = time.monotonic() + SECONDS
    seed = first_seed
    while time.monotonic() < end:
        seed += 1
        code, out, err = run_writer(path, seed, timing.uniform(0.0, 0.25))
        assert code == -signal.SIGKILL, f"seed {seed}: writer ended with {code}: {err.decode()[-2000:]}"
        kills += 1
        lines = [json.loads(line) for line in out.decode().splitlines()]
        in_flight = None
        for line in lines:
            if line[0] == "begin":
                in_flight = line[1:]
                model.begin(in_flight)
            elif line[0] == "done":
                model.acknowledge(in_flight)
                in_flight = None
        violations = check(path, model)
        checked += len(model.allowed)
        history = "\n".join(json.dumps(line) for line in lines[-40:])
        assert not violations, f"seed {seed}: " + "; ".join(violations) + "\nlast calls:\n" + history
    print(f"python crash test: first seed {first_seed}, {kills} kills, {checked} records checked")
    assert kills > 0
