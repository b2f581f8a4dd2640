"""search and add release the interpreter lock; concurrent use stays correct."""

import threading
import time

import pytest

DIM = 8
PAD = list(range(4000))  # metadata that the filter must parse for every record
FILTER = {"g": {"$gte": 0}}
QUERY = [1.0] * DIM


class Spinner:
    """A Python thread that can only make progress while it holds the lock."""

    def __init__(self):
        self.stamps = []
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        n = 0
        clock = time.perf_counter
        stamps = self.stamps
        while not self.stop:
            n += 1
            if n % 100 == 0:
                stamps.append(clock())

    def __enter__(self):
        self.thread.start()
        while not self.stamps:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()

    def progressed_within(self, start, end):
        """Whether the spinner ran in the middle half of [start, end]."""
        quarter = (end - start) / 4
        lo, hi = start + quarter, end - quarter
        return any(lo <= s <= hi for s in self.stamps)


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return result, start, time.perf_counter()


@pytest.fixture(scope="module")
def slow_collection(tmp_path_factory):
    """A collection on which one filtered search takes a noticeable time."""
    import tessello

    db = tessello.Tessello(str(tmp_path_factory.mktemp("threads") / "db"))
    coll = db.collection("slow", DIM, "dot")
    count = 0
    duration = 0.0
    while count < 4000:
        target = max(2 * count, 1000)
        for i in range(count, target):
            coll.add([float(i % 7)] * DIM, {"g": i, "pad": PAD}, id=f"r{i:06d}")
        count = target
        coll.sync()
        duration = min(search_duration(coll) for _ in range(2))
        if duration >= 0.06:
            break
    if duration < 0.03:
        pytest.skip(f"a search over {count} records takes only {duration:.3f} s")
    yield db, coll, duration


def search_duration(coll):
    _, start, end = timed(coll.search, QUERY, 1, FILTER)
    return end - start


def test_search_releases_the_interpreter_lock(slow_collection):
    _, coll, _ = slow_collection
    with Spinner() as spinner:
        hits, start, end = timed(coll.search, QUERY, 1, FILTER)
    assert len(hits) == 1
    assert spinner.progressed_within(start, end), (
        f"no other Python thread ran during a {end - start:.3f} s search"
    )


def test_add_releases_the_interpreter_lock(slow_collection):
    # An add that needs a new slot waits for a running search to let go of
    # the vector file; while it waits, other Python threads must run.
    _, coll, duration = slow_collection
    for attempt in range(5):
        entered = threading.Event()

        def long_search():
            entered.set()
            coll.search(QUERY, 1, FILTER)

        searcher = threading.Thread(target=long_search)
        with Spinner() as spinner:
            searcher.start()
            entered.wait()
            time.sleep(duration * 0.1)
            rid, start, end = timed(coll.add, QUERY, {"g": -1}, f"added{attempt}")
            searcher.join()
        assert rid == f"added{attempt}"
        if end - start >= duration * 0.3:
            assert spinner.progressed_within(start, end), (
                f"no other Python thread ran during a {end - start:.3f} s add"
            )
            return
    pytest.skip("the add never overlapped a running search")


def test_searches_overlap_each_other(slow_collection):
    _, coll, _ = slow_collection
    windows = []
    lock = threading.Lock()
    barrier = threading.Barrier(4)

    def search():
        barrier.wait()
        _, start, end = timed(coll.search, QUERY, 1, FILTER)
        with lock:
            windows.append((start, end))

    threads = [threading.Thread(target=search) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Holding the lock throughout, the four calls would run one after the
    # other; released, every call is entered before the first one returns
    # (the calls share one worker pool, so their scans may still take turns).
    latest_start = max(s for s, _ in windows)
    earliest_end = min(e for _, e in windows)
    assert latest_start < earliest_end, windows


def test_concurrent_adds_and_searches_lose_nothing(db):
    coll = db.collection("busy", 4, "dot")
    writers, per_writer = 4, 300
    errors = []
    done = threading.Event()

    def write(w):
        try:
            for i in range(per_writer):
                rid = coll.add([float(w), float(i), 1.0, 0.0], {"w": w, "i": i}, id=f"w{w}-{i:04d}")
                assert rid == f"w{w}-{i:04d}"
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    def read():
        try:
            while not done.is_set():
                for hit in coll.search([0.0, 0.0, 1.0, 0.0], 50, {"w": {"$in": [0, 1, 2, 3]}}):
                    assert hit.id.startswith("w") and hit.score == 1.0
                coll.get("w0-0000")
                len(coll)
        except BaseException as e:
            errors.append(e)

    readers = [threading.Thread(target=read) for _ in range(2)]
    threads = [threading.Thread(target=write, args=(w,)) for w in range(writers)]
    for t in readers + threads:
        t.start()
    for t in threads:
        t.join()
    done.set()
    for t in readers:
        t.join()
    assert errors == []
    coll.sync()
    expected = {f"w{w}-{i:04d}" for w in range(writers) for i in range(per_writer)}
    assert len(coll) == len(expected)
    hits = coll.search([0.0, 0.0, 1.0, 0.0], 10 * len(expected))
    assert sorted(h.id for h in hits) == sorted(expected)
    for rid in sorted(expected)[::97]:
        w, i = rid[1:].split("-")
        assert coll.get(rid).metadata == {"w": int(w), "i": int(i)}
