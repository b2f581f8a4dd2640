"""A damaged or unfinished "vectors.bin": a clean error or a correct answer,
never a signal, and never a name that cannot be used again."""

import json
import os
import shutil
import signal
import struct
import subprocess

import numpy as np
import pytest

import tessello

DIM = 4
COUNT = 12
HEADER = 64
STRIDE = DIM * 4
SLOTS_END = HEADER + COUNT * STRIDE
TOO_SMALL = "Data corruption: Vector file too small for header"
TRUNCATED = "Data corruption: Vector file truncated: "
CHECKSUM = "Data corruption: Header checksum mismatch"


def vectors_path(db_dir, name="c"):
    return db_dir / "collections" / name / "vectors.bin"


@pytest.fixture(scope="module")
def original(tmp_path_factory):
    """A synced database with COUNT records in slots 0.. of collection "c"."""
    db_dir = tmp_path_factory.mktemp("damage") / "orig"
    rng = np.random.default_rng(7)
    values = rng.uniform(0.5, 2.0, size=(COUNT, DIM)).astype(np.float32)
    db = tessello.Tessello(str(db_dir))
    coll = db.collection("c", DIM, "dot")
    for i in range(COUNT):
        coll.add(values[i], {"i": i}, id=f"r{i:02d}")
    coll.sync()
    del coll, db
    return db_dir


# Opens each case's database in a child forked for it alone and searches it
# with every one-hot query; reports what each child returned or the signal
# that ended it. The driver itself never calls into the module before it
# forks, so every child starts the worker pool afresh; it imports numpy
# first, which the module loads on first use, so that no child pays for it.
DRIVER = r"""
import json, os, signal, sys
import numpy
import tessello

DIM = int(sys.argv[1])
cases = json.load(sys.stdin)
out = []
for db_dir in cases:
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        signal.alarm(60)
        try:
            coll = tessello.Tessello(db_dir).get_collection("c")
            hits = []
            for j in range(DIM):
                q = [0.0] * DIM
                q[j] = 1.0
                hits.append([[h.id, h.score] for h in coll.search(q, 100)])
            result = {"hits": hits}
        except Exception as e:
            result = {"error": type(e).__name__, "message": e.args[0] if e.args else ""}
        os.write(write_end, json.dumps(result).encode())
        os._exit(0)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        out.append({"signal": os.WTERMSIG(status)})
    else:
        out.append(json.loads(b"".join(chunks) or b"{}"))
print(json.dumps(out))
"""


def run_cases(case_dirs):
    build_dir = os.path.dirname(os.path.abspath(tessello.__file__))
    proc = subprocess.run(
        ["/usr/bin/python3", "-c", f"import sys\nsys.path.insert(0, {build_dir!r})\n" + DRIVER, str(DIM)],
        input=json.dumps([str(d) for d in case_dirs]),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def expected_hits(data):
    """Per one-hot query, the (id, score) of every record the file holds
    undeleted: the score of query j is the stored component j itself."""
    floats = np.frombuffer(data[HEADER:SLOTS_END], dtype=np.float32).reshape(COUNT, DIM)
    per_query = []
    for j in range(DIM):
        hits = [(f"r{i:02d}", float(floats[i, j])) for i in range(COUNT) if not np.isnan(floats[i, 0])]
        per_query.append(sorted(hits, key=lambda h: (-h[1], h[0])))
    return per_query


def damage_cases(original_bytes):
    """(name, damaged bytes, expected error prefix or None for a correct answer)."""
    cases = []
    for length in [0, 1, 17, 18, 21, 22, 63, 64, 65, HEADER + 5 * STRIDE, SLOTS_END - 1, SLOTS_END,
                   SLOTS_END + 1, HEADER + 1024 * STRIDE - 1, len(original_bytes) - 1]:
        error = TOO_SMALL if length < HEADER else TRUNCATED if length < SLOTS_END else None
        cases.append((f"cut to {length}", original_bytes[:length], error))
    for offset in range(HEADER):
        for mask in (0x01, 0x80):
            data = bytearray(original_bytes)
            data[offset] ^= mask
            # Bytes 0 to 21 are checked (the checksum covers 0 to 17 and is
            # 18 to 21); the rest of the header is never read.
            cases.append((f"header byte {offset} ^ {mask:#x}", bytes(data), CHECKSUM if offset < 22 else None))
    for slot in (0, 5, COUNT - 1):
        for byte in range(STRIDE):
            for mask in (0x01, 0x80):
                data = bytearray(original_bytes)
                data[HEADER + slot * STRIDE + byte] ^= mask
                cases.append((f"slot {slot} byte {byte} ^ {mask:#x}", bytes(data), None))
    data = bytearray(original_bytes)
    data[HEADER + 5 * STRIDE:HEADER + 5 * STRIDE + 4] = struct.pack("<I", 0x7FC00000)
    cases.append(("slot 5 marked deleted", bytes(data), None))
    return cases


def test_damaged_vector_file_is_a_clean_error_or_a_correct_answer(original, tmp_path):
    original_bytes = vectors_path(original).read_bytes()
    cases = damage_cases(original_bytes)
    dirs = []
    for n, (_, data, _) in enumerate(cases):
        case_dir = tmp_path / f"case{n}"
        shutil.copytree(original, case_dir, ignore=shutil.ignore_patterns("*-lock"))
        vectors_path(case_dir).write_bytes(data)
        dirs.append(case_dir)
    results = run_cases(dirs)
    assert len(results) == len(cases)

    for (name, data, error), result in zip(cases, results):
        assert "signal" not in result, f"{name}: the child died of {signal.Signals(result['signal']).name}"
        if error is not None:
            assert result.get("error") == "KeyError", (name, result)
            assert result["message"].startswith(error), (name, result["message"])
            continue
        assert "hits" in result, (name, result)
        got = [sorted(((h[0], h[1]) for h in hits), key=lambda h: (-h[1], h[0])) for hits in result["hits"]]
        assert got == expected_hits(data), name


@pytest.mark.parametrize(
    "leftover",
    [b"", bytes(40), bytes(HEADER), bytes(HEADER + 4096 * DIM)],
    ids=["empty", "shorter-than-header", "zero-header", "all-zeros"],
)
def test_interrupted_creation_leaves_the_name_usable(db_path, leftover):
    db = tessello.Tessello(str(db_path))
    db.collection("c", DIM, "dot")
    del db
    # What an interrupted creation of an earlier version could leave.
    vectors_path(db_path).write_bytes(leftover)

    db = tessello.Tessello(str(db_path))
    coll = db.collection("c", DIM, "dot")
    assert len(coll) == 0
    coll.add([1.0, 2.0, 3.0, 4.0], {"a": 1}, id="x")
    coll.sync()
    assert [h.id for h in coll.search([1.0, 0.0, 0.0, 0.0], 5)] == ["x"]
    del coll, db
    assert os.path.getsize(vectors_path(db_path)) == HEADER + 4096 * DIM
    db = tessello.Tessello(str(db_path))
    assert db.get_collection("c").get("x").metadata == {"a": 1}


def test_unfinished_file_under_stored_records_is_refused(db_path):
    db = tessello.Tessello(str(db_path))
    coll = db.collection("c", DIM, "dot")
    coll.add([1.0, 2.0, 3.0, 4.0], {}, id="x")
    coll.sync()
    del coll, db
    vectors_path(db_path).write_bytes(bytes(HEADER))

    db = tessello.Tessello(str(db_path))
    with pytest.raises(KeyError) as info:
        db.get_collection("c")
    assert info.value.args[0].startswith(CHECKSUM)
    assert vectors_path(db_path).read_bytes() == bytes(HEADER)
