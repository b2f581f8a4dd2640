"""Small helpers shared by the tessello module tests."""

import os
import subprocess
import sys

import numpy as np


def one_hot(dim, i):
    v = np.zeros(dim, dtype=np.float32)
    v[i] = 1.0
    return v


def stored_components(coll, dim):
    """The stored vector of the only record of a `dot` collection.

    A dot product with a one-hot query is the component itself, exactly, so
    the scores of `dim` searches read the stored floats back bit for bit.
    """
    values = []
    for i in range(dim):
        hits = coll.search(one_hot(dim, i), 1)
        assert len(hits) == 1
        values.append(hits[0].score)
    return np.array(values, dtype=np.float64)


def run_python(code, timeout=60):
    """Run `code` in a fresh interpreter that can import tessello."""
    import tessello

    build_dir = os.path.dirname(os.path.abspath(tessello.__file__))
    env = dict(os.environ, TESSELLO_PYTHON_PATH=build_dir)
    prelude = f"import sys\nsys.path.insert(0, {build_dir!r})\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
