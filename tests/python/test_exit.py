"""What a normal interpreter exit writes, and that it never aborts.

Each case runs a script in a fresh interpreter that adds fewer records than
the buffer holds (so nothing flushes on its own) and exits; a second process
reopens the database and must find every record.
"""

import textwrap

import pytest

import tessello
from support import run_python

COUNT = 7

ADD = """
import tessello
db = tessello.Tessello(DB_PATH)
coll = db.collection("c", 2, "dot")
other = db.collection("o", 2, "dot")
def add_all():
    for i in range(COUNT):
        coll.add([1.0, float(i)], {"i": i}, id=f"r{i:04d}")
"""

# What keeps the buffered records from being released before the exit.
EXITS = {
    # Nothing: the interpreter releases the objects as it finalizes.
    "plain": "add_all()\n",
    # A daemon thread running a function of __main__ keeps the main module's
    # globals (and so both cores) alive through the exit.
    "daemon-thread": """
import threading, time
def spin():
    while True:
        coll.search([0.0, 1.0], 3)
        other.add([1.0, 0.0], {})
add_all()
threading.Thread(target=spin, daemon=True).start()
time.sleep(0.02)
""",
    # A reference that is never given back.
    "held-object": """
import ctypes
add_all()
ctypes.pythonapi.Py_IncRef(ctypes.py_object(coll))
ctypes.pythonapi.Py_IncRef(ctypes.py_object(db))
""",
    # Records added by an exit handler of the program's own, after the main
    # module finished.
    "exit-handler": """
import atexit, ctypes
atexit.register(add_all)
ctypes.pythonapi.Py_IncRef(ctypes.py_object(coll))
""",
    # sys.exit from a thread-holding program with an error status.
    "sys-exit": """
import sys, threading
add_all()
threading.Thread(target=lambda: [coll.search([0.0, 1.0], 1) for _ in iter(int, 1)], daemon=True).start()
sys.exit(3)
""",
}


def script(db_path, body):
    return ADD.replace("DB_PATH", repr(str(db_path))).replace("COUNT", str(COUNT)) + textwrap.dedent(body)


@pytest.mark.parametrize("case", list(EXITS))
def test_normal_exit_keeps_buffered_adds(tmp_path, case):
    for run in range(3):
        db_path = tmp_path / f"db{run}"
        proc = run_python(script(db_path, EXITS[case]))
        assert proc.returncode == (3 if case == "sys-exit" else 0), proc.stderr
        assert "terminate called" not in proc.stderr
        db = tessello.Tessello(str(db_path))
        coll = db.get_collection("c")
        assert len(coll) == COUNT, f"run {run}"
        assert [coll.get(f"r{i:04d}").metadata for i in range(COUNT)] == [{"i": i} for i in range(COUNT)]
        assert sorted(h.id for h in coll.search([0.0, 1.0], 2 * COUNT)) == [f"r{i:04d}" for i in range(COUNT)]
        del coll, db


# Threads that are inside a call that let go of the interpreter lock when the
# interpreter finalizes: taking the lock back ends them by unwinding their
# stacks, which must pass through the module without aborting the process.
BUSY_THREADS = """
import threading, time
import numpy as np
def busy(n):
    v = np.ones(2, dtype=np.float32)
    while True:
        coll.add(v, {"n": n})
        coll.search(v, 5)
        other.add_batch(np.ones((3, 2), dtype=np.float32), [{}, {}, {}])
        other.upsert(f"u{n}", [0.0, 1.0], {})
add_all()
for n in range(4):
    threading.Thread(target=busy, args=(n,), daemon=True).start()
time.sleep(0.05)
"""


def test_exit_while_threads_are_inside_calls_never_aborts(tmp_path):
    runs = 20
    for run in range(runs):
        db_path = tmp_path / f"db{run}"
        proc = run_python(script(db_path, BUSY_THREADS))
        assert proc.returncode == 0, f"run {run}: status {proc.returncode}\n{proc.stderr}"
        assert "terminate called" not in proc.stderr, proc.stderr
        db = tessello.Tessello(str(db_path))
        coll = db.get_collection("c")
        assert len(coll) >= COUNT
        assert all(coll.get(f"r{i:04d}") is not None for i in range(COUNT))
        # What the threads added is whole: every record that is stored reads back.
        assert len(coll.search([1.0, 1.0], len(coll) + 1)) == len(coll)
        del coll, db
