"""Seeded data: every run of the benchmark scores the same vectors and queries."""

import numpy as np

SEED = 20240611
TOPICS = 17  # metadata {"topic": "t<i mod 17>"}: the filter {"topic": "t3"} keeps 1 record in 17


def _normalised(x):
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return np.ascontiguousarray(x, dtype=np.float32)


def gaussian(n, d, stream):
    """n unit vectors of dimension d, directions uniform on the sphere."""
    rng = np.random.default_rng([SEED, stream, n, d])
    return _normalised(rng.standard_normal((n, d), dtype=np.float32))


def low_rank(n, d, stream, rank=24, noise=1.0):
    """n unit vectors near a rank-`rank` subspace: factors times a fixed basis,
    plus Gaussian noise of standard deviation `noise` per component, normalised.
    The basis depends only on d and rank, so queries drawn with another stream
    come from the same distribution as the data."""
    basis = np.random.default_rng([SEED, rank, d]).standard_normal((rank, d), dtype=np.float32)
    rng = np.random.default_rng([SEED, stream, n, d, rank])
    x = rng.standard_normal((n, rank), dtype=np.float32) @ basis
    x += noise * rng.standard_normal((n, d), dtype=np.float32)
    return _normalised(x)


def small_metadata(start, count):
    return [{"topic": f"t{i % TOPICS}"} for i in range(start, start + count)]


def given_ids(start, count):
    return [str(i) for i in range(start, start + count)]


def exact_top_k(x, queries, k):
    """Ground truth: the k best inner products of every query, best first."""
    out = np.empty((len(queries), k), dtype=np.int64)
    for i in range(0, len(queries), 256):
        s = queries[i:i + 256] @ x.T
        part = np.argpartition(-s, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(s, part, axis=1), axis=1, kind="stable")
        out[i:i + 256] = np.take_along_axis(part, order, axis=1)
    return out
