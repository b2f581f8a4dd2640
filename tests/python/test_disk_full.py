"""A full disk is an exception from the call that needed the space, never a
signal, and no acknowledged record is lost to it.

Each case runs on a small tmpfs of its own (mounting one needs root) in a
child interpreter, so that a process killed by a signal shows as a failure
instead of taking the test run with it.
"""

import json
import os
import signal
import subprocess

import pytest

import tessello

NO_SPACE = "No space left on device"
DIM = 1024


@pytest.fixture
def small_disk(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    # 7 MiB: a new collection of 1024 dimensions reserves 4 MiB for its
    # vectors and its first growth 2 MiB more.
    proc = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=7m", "tmpfs", str(mount_point)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {proc.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], capture_output=True)


# The child: fills the disk in the way the case names, adds until the adds
# fail, checks every failure and prints what was acknowledged.
CHILD = r"""
import json, os, sys
import numpy as np
import tessello

disk, case = sys.argv[1], sys.argv[2]
NO_SPACE = "No space left on device"
DIM = 1024
filler = os.path.join(disk, "filler")


def fill_disk(limit=None):
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    written = 0
    try:
        while limit is None or written < limit:
            written += os.write(fd, b"x" * 4096)
    except OSError as e:
        assert e.errno == 28, e
    finally:
        os.close(fd)


def vector(i):
    v = np.zeros(DIM, dtype=np.float32)
    v[i % DIM] = 1.0
    v[(i * 7 + 1) % DIM] += float(i)
    return v


db = tessello.Tessello(os.path.join(disk, "db"))
if case == "vectors":
    # Room that can be freed later; the vector file runs out first.
    fill_disk(limit=1 << 20)
coll = db.collection("c", DIM, "dot")
if case == "records":
    # The vector file has its room; the records have none.
    fill_disk()

acked, failures, i = [], [], 0
while len(failures) < 5 and i < 4000:
    try:
        acked.append(coll.add(vector(i), {"i": i}, id=f"r{i:05d}"))
    except ValueError as e:
        failures.append(str(e))
    i += 1
assert failures, f"{i} adds and the disk is not full"
assert all(NO_SPACE in m for m in failures), failures
# Every add that returned is still there, buffered or stored.
assert len(coll) == len(acked), (len(coll), len(acked))

try:
    coll.add_batch(np.stack([vector(10000 + j) for j in range(10)]), [{}] * 10,
                   ids=[f"b{j}" for j in range(10)])
    raise AssertionError("add_batch on a full disk returned")
except ValueError as e:
    assert NO_SPACE in str(e), e
try:
    coll.sync()  # succeeds when only the vector file is out of room
except OSError as e:
    assert NO_SPACE in str(e), e
assert len(coll) == len(acked)

os.remove(filler)
coll.sync()
more = coll.add_batch(np.stack([vector(20000 + j) for j in range(3)]), [{"i": -1}] * 3,
                      ids=[f"after{j}" for j in range(3)])
acked.extend(more)
acked.append(coll.add(vector(30000), {"i": -2}, id="after-add"))
coll.sync()
print(json.dumps({"acked": acked, "failures": failures[:1]}))
"""


@pytest.mark.parametrize("case", ["vectors", "records"])
def test_full_disk_raises_and_loses_no_acknowledged_record(small_disk, case):
    build_dir = os.path.dirname(os.path.abspath(tessello.__file__))
    proc = subprocess.run(
        [
            "/usr/bin/python3",
            "-c",
            f"import sys\nsys.path.insert(0, {build_dir!r})\n" + CHILD,
            str(small_disk),
            case,
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if proc.returncode < 0:
        pytest.fail(f"the child died of {signal.Signals(-proc.returncode).name}")
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert NO_SPACE in result["failures"][0]
    acked = result["acked"]
    assert len(acked) > 4

    db = tessello.Tessello(str(small_disk / "db"))
    coll = db.get_collection("c")
    assert len(coll) == len(acked)
    for rid in acked:
        record = coll.get(rid)
        assert record is not None, rid
        if rid.startswith("r"):
            assert record.metadata == {"i": int(rid[1:])}
    del coll, db
