"""What the figures were measured on, printed above the table."""

import datetime
import os
import platform
import subprocess

import numpy as np


def pool_threads():
    """The size of tessello's worker pool, chosen as the core chooses it
    (RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the usable CPUs; the
    core also honours a cgroup quota, which this VM does not set)."""
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        v = os.environ.get(var, "")
        if v.isdigit() and int(v) > 0:
            return int(v)
    return len(os.sched_getaffinity(0))


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory():
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
        return f"{kb / 2**20:.1f} GiB"
    except (OSError, ValueError, IndexError):
        return "unknown"


def _commit(repo):
    try:
        return subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, timeout=10).stdout.strip() or "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def _blas():
    """Which BLAS numpy and faiss run: threadpoolctl's account where it knows
    the library (OpenBLAS, say), else the BLAS files mapped in this process."""
    overrides = ", ".join(f"{v}={os.environ[v]}" for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                          if v in os.environ) or "no OpenBLAS overrides"
    libs = []
    try:
        from threadpoolctl import threadpool_info
        libs = [f"{i.get('internal_api')} {i.get('version')} {i.get('architecture') or ''} "
                f"{i.get('num_threads')} threads".replace("  ", " ")
                for i in threadpool_info() if i.get("user_api") == "blas"]
    except ImportError:
        pass
    if not libs:
        try:
            with open("/proc/self/maps") as f:
                paths = {line.split()[-1] for line in f if "blas" in line.rsplit("/", 1)[-1]}
            libs = [os.path.realpath(p) for p in sorted(paths)]
        except OSError:
            pass
    return f"BLAS: {'; '.join(libs) or 'none loaded'}; {overrides}"


def describe(repo, faiss, hnswlib, quick):
    load = os.getloadavg()
    lines = [
        f"tessello end-to-end benchmark, {datetime.datetime.now().isoformat(timespec='seconds')}, "
        f"commit {_commit(repo)}{', QUICK mode (reduced sizes)' if quick else ''}",
        f"machine: {_cpu_model()}, {os.cpu_count()} CPUs ({len(os.sched_getaffinity(0))} usable), "
        f"{_memory()}, {platform.system()} {platform.release()}; load average at start "
        f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}",
        f"threads: tessello worker pool {pool_threads()}; streaming read and hnswlib builds use the same count; "
        f"numpy einsum single-threaded per query",
        f"python {platform.python_version()}, numpy {np.__version__}, "
        + (f"faiss {getattr(faiss, '__version__', '?')} ({faiss.omp_get_max_threads()} OpenMP threads)"
           if faiss else "faiss not installed")
        + ", " + (f"hnswlib {getattr(hnswlib, '__version__', 'installed')}" if hnswlib else "hnswlib not installed"),
        _blas(),
    ]
    return lines
