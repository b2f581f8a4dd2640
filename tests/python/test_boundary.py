"""Lengths that lie and exhausted memory end in a Python exception, never an abort."""

import os

import numpy as np
import pytest

from support import run_python

HUGE = 10**12
MISMATCH_HUGE = f"Dimension mismatch: expected 4, got {HUGE}"
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


class Claims:
    """A sequence whose len() says `claimed` while it holds `items`."""

    def __init__(self, items, claimed):
        self.items = list(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@pytest.fixture
def coll(make_coll):
    c = make_coll(4, "dot")
    c.add([1.0, 0.0, 0.0, 0.0], {"n": 0}, id="a")
    return c


class NoLength(Claims):
    def __len__(self):
        raise ZeroDivisionError


# Each call with the records it adds when the vector is right.
@pytest.mark.parametrize(
    "call, adds",
    [
        (lambda c, v: c.add(v, {}), 1),
        (lambda c, v: c.search(v, 1), 0),
        (lambda c, v: c.upsert("x", v, {}), 1),
        (lambda c, v: c.add_batch([[0.0, 1.0, 0.0, 0.0], v], [{}, {}]), 2),
    ],
    ids=["add", "search", "upsert", "add_batch"],
)
class TestLengths:
    @pytest.mark.parametrize(
        "vector",
        [range(HUGE), np.broadcast_to(np.float32(1.0), (HUGE,)), Claims(range(70_000), HUGE)],
        ids=["range", "broadcast-array", "claims-more-than-it-reads"],
    )
    def test_huge_length_is_a_dimension_mismatch(self, coll, call, adds, vector):
        with pytest.raises(ValueError) as e:
            call(coll, vector)
        assert e.value.args == (MISMATCH_HUGE,)
        assert len(coll) == 1

    @pytest.mark.parametrize("claimed", [HUGE, 0, 2, None], ids=["huge", "zero", "short", "no-length"])
    def test_a_lying_length_reads_what_is_there(self, coll, call, adds, claimed):
        items = [0.0, 1.0, 0.0, 0.0]
        result = call(coll, Claims(items, claimed) if claimed is not None else NoLength(items, 0))
        assert len(coll) == 1 + adds
        if adds == 0:
            assert [h.id for h in result] == ["a"]
        hits = coll.search(items, 10)
        assert len(hits) == 1 + adds
        assert all(h.score == 1.0 for h in hits if h.id != "a")

    def test_longer_than_any_collection(self, coll, call, adds):
        # A sequence read only in part is named by the length it reports, or
        # by the items read when it reports too few.
        with pytest.raises(ValueError) as e:
            call(coll, [0.5] * 70_000)
        assert e.value.args == ("Dimension mismatch: expected 4, got 70000",)
        with pytest.raises(ValueError) as e:
            call(coll, Claims([0.5] * 70_000, 3))
        assert e.value.args == ("Dimension mismatch: expected 4, got 65538",)
        # Up to one item past the largest dimensions, every item is converted.
        with pytest.raises(TypeError):
            call(coll, [0.5] * 65_536 + ["x"])
        assert len(coll) == 1


def test_add_batch_with_lying_lengths(coll):
    ids = coll.add_batch(
        Claims([[0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0]], HUGE),
        Claims([{"n": 1}, {"n": 2}], HUGE),
        ids=Claims(["b", "c"], 0),
        ttls=Claims([None, 100], HUGE),
    )
    assert ids == ["b", "c"]
    assert coll.get("c").metadata == {"n": 2}
    assert len(coll) == 3


@pytest.mark.parametrize(
    "vectors",
    [
        np.empty((HUGE, 0), dtype=np.float32),
        np.broadcast_to(np.float32(1.0), (10**9, 4)),
        np.broadcast_to(np.float64(1.0), (10**9, 4)),
    ],
    ids=["no-columns", "float32-broadcast", "float64-broadcast"],
)
def test_add_batch_of_more_rows_than_metadatas_reads_no_more(coll, vectors):
    with pytest.raises(ValueError) as e:
        coll.add_batch(vectors, [{}, {}])
    assert e.value.args == ("Invalid input: vectors and metadatas must have same length",)
    assert len(coll) == 1


def test_add_batch_reads_rows_only_to_the_first_of_the_wrong_length(coll):
    rows = [[1.0, 2.0, 3.0, 4.0], range(HUGE), [1.0, 2.0], [1.0, "x"]]
    with pytest.raises(TypeError):  # every row is converted, as always
        coll.add_batch(rows, [{}] * 4)
    with pytest.raises(ValueError) as e:
        coll.add_batch(rows[:3], [{}] * 3)
    assert e.value.args == (MISMATCH_HUGE,)
    assert len(coll) == 1


def test_huge_k_returns_every_record(coll):
    coll.add([0.0, 1.0, 0.0, 0.0], {}, id="b")
    assert [h.id for h in coll.search([1.0, 1.0, 0.0, 0.0], 2**64 - 1)] == ["a", "b"]
    assert [h.id for h in coll.search([1.0, 1.0, 0.0, 0.0], 2**64 - 1, {"n": 0})] == ["a"]


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's own mappings take the address space")
def test_exhausted_memory_is_memory_error(tmp_path):
    # The rows of the batch are copied in C++; with the address space capped
    # below what the copy needs, the allocation fails inside the module.
    proc = run_python(
        f"""
import resource, numpy as np, tessello
db = tessello.Tessello({str(tmp_path / "db")!r})
c = db.collection("c", 65536, "dot")
rows = np.zeros((1024, 65536), dtype=np.float32)  # 256 MiB
def vm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + 64 * 2**20, hard))
try:
    c.add_batch(rows, [{{}}] * 1024)
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
c.add(np.ones(65536, dtype=np.float32), {{}}, id="after")
print(len(c))
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", "1"]
