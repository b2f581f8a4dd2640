"""The anchors beside which tessello's figures are read: numpy (always), and
faiss and hnswlib when their Debian packages are installed (each is skipped
with a note when its module cannot be imported)."""

import numpy as np


def numpy_search(x, k):
    """The einsum + argpartition exact search over x (unit rows): a function
    of one query returning its k best row indices, best first."""
    n = len(x)

    def search(q):
        s = np.einsum("ij,j->i", x, q)
        top = np.argpartition(s, n - k)[n - k:]
        return top[np.argsort(-s[top], kind="stable")]

    return search


def load_faiss():
    try:
        import faiss  # noqa: F401
        return faiss, None
    except Exception as e:  # ImportError, or a module that fails to load
        return None, f"faiss not importable ({type(e).__name__}: {e}); its rows are skipped"


def load_hnswlib():
    try:
        import hnswlib  # noqa: F401
        return hnswlib, None
    except Exception as e:
        return None, f"hnswlib not importable ({type(e).__name__}: {e}); its rows are skipped"


def faiss_flat_search(faiss, x, k):
    index = faiss.IndexFlatIP(x.shape[1])
    index.add(x)

    def search(q):
        return index.search(q[None, :], k)[1][0]

    return search, index
