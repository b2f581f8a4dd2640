"""The benchmark's helper programs (bench/tools/, built into build-bench/bench/)."""

import json
import os
import subprocess


class Tools:
    def __init__(self, directory):
        self.directory = directory
        for name in ("plant_hnsw", "mirror_memory", "stream_read"):
            path = os.path.join(directory, name)
            if not os.access(path, os.X_OK):
                raise SystemExit(f"missing helper program {path}: build with `make bench`")

    def _run(self, *args):
        done = subprocess.run([os.path.join(self.directory, args[0]), *map(str, args[1:])],
                              capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise RuntimeError(f"{args[0]} failed ({done.returncode}): {done.stderr.strip()}")
        return done.stdout

    def plant_hnsw(self, db_dir, collection, m, m0, max_m, ef_construction, ef_search, level_multiplier):
        """Writes graph parameters into a collection's registry entry; the
        database must not be open in any process."""
        self._run("plant_hnsw", db_dir, collection, m, m0, max_m, ef_construction, ef_search,
                  repr(float(level_multiplier)))

    def mirror_memory(self, db_dir, collection):
        """Opens the collection in a process of its own and reports what the
        first exact search makes it keep in memory (see tools/mirror_memory.cpp)."""
        return json.loads(self._run("mirror_memory", db_dir, collection))

    def stream_read(self, path, offset, size, threads, repeats):
        return json.loads(self._run("stream_read", path, offset, size, threads, repeats))
