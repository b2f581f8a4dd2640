"""Shared fixtures for the tessello module tests.

The extension is imported straight from the build tree: TESSELLO_PYTHON_PATH
names the directory that holds it, otherwise <repo>/build/python is used.
"""

import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = os.environ.get("TESSELLO_PYTHON_PATH") or str(REPO / "build" / "python")

if BUILD_DIR not in sys.path:
    sys.path.insert(0, BUILD_DIR)


@pytest.fixture
def db_path(tmp_path):
    """A database directory that does not exist yet."""
    return tmp_path / "db"


@pytest.fixture
def db(db_path):
    import tessello

    database = tessello.Tessello(str(db_path))
    yield database
    del database


@pytest.fixture
def make_coll(db):
    """Factory for collections of the `db` fixture: make_coll(dim, metric, name)."""
    counter = iter(range(1_000_000))

    def make(dim=4, metric="cosine", name=None):
        if name is None:
            name = f"c{next(counter)}"
        return db.collection(name, dim, metric)

    return make
