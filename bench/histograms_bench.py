"""The module's histograms against NumPy's, per call.

Usage: mpiexec.openmpi -n R /usr/bin/python3 histograms_bench.py [N ...]
       (default 10^6 10^7; the module on PYTHONPATH)

For N points spread over R ranks (each holding its share): histogram of
float64 values in 100 equal bins with a range, the same weighted,
histogram2d in 64 x 64 and 4096 x 4096 bins, and histogramdd of 3-D points
in 32^3 bins: the module's call and NumPy's call on this rank's share (on
one rank: the whole data), milliseconds, the median over repeated calls of
the slowest rank (a barrier before each call, the two timed in turn), and
numpy / module (above 1: the module is faster).

NumPy's histogram makes temporaries of one size (64 Ki elements) per block
of the data. glibc's malloc serves them with fresh mappings, or from a heap
it trims as they are freed, either way faulting their pages in again on
every block, until a larger mapped block freed earlier in the process (such
as the arrays of a smaller N) has raised its mmap and trim thresholds: the
same call then runs ten times faster. The thresholds are set once here,
before anything is timed, as that raise would set them, so that every row
times NumPy in the same state, its fastest one.
"""
import ctypes
import ctypes.util
import sys

import numpy as np
from mpi4py import MPI

import virdastatistics as vs
from bench_timing import seconds_of, slowest

comm = MPI.COMM_WORLD

# glibc's mallopt parameters; the mmap threshold's largest dynamic value on
# 64-bit systems, and the trim threshold it sets beside it (twice that).
M_TRIM_THRESHOLD = -1
M_MMAP_THRESHOLD = -3
MMAP_THRESHOLD = 32 << 20


def fix_malloc_thresholds():
    """Blocks below 32 MiB from a heap kept, whatever was freed before."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    for name, value in ((M_MMAP_THRESHOLD, MMAP_THRESHOLD), (M_TRIM_THRESHOLD, 2 * MMAP_THRESHOLD)):
        if libc.mallopt(name, value) != 1:
            raise RuntimeError(f"mallopt({name}) refused")


def cases(x, y, z, w):
    r1 = (0.0, 1.0)
    return [
        ("histogram", lambda: vs.histogram(x, 100, r1, comm=comm), lambda: np.histogram(x, 100, r1)),
        ("histogram w", lambda: vs.histogram(x, 100, r1, weights=w, comm=comm),
         lambda: np.histogram(x, 100, r1, weights=w)),
        ("histogram2d 64", lambda: vs.histogram2d(x, y, 64, [r1, r1], comm=comm),
         lambda: np.histogram2d(x, y, 64, [r1, r1])),
        ("histogram2d 4096", lambda: vs.histogram2d(x, y, 4096, [r1, r1], comm=comm),
         lambda: np.histogram2d(x, y, 4096, [r1, r1])),
        ("histogramdd 32^3", lambda: vs.histogramdd((x, y, z), 32, [r1, r1, r1], comm=comm),
         lambda: np.histogramdd((x, y, z), 32, [r1, r1, r1])),
    ]


def main():
    sizes = [int(float(a)) for a in sys.argv[1:]] or [10**6, 10**7]
    fix_malloc_thresholds()
    rng = np.random.default_rng(1)
    if comm.rank == 0:
        print(f"ranks {comm.size}")
        print(f"{'operation':<17} {'N':>9} {'module_ms':>10} {'numpy_ms':>10} {'ratio':>7}")
    for n in sizes:
        mine = n // comm.size + (1 if comm.rank < n % comm.size else 0)
        x, y, z, w = (rng.random(mine) for _ in range(4))
        reps = max(3, min(21, 2 * 10**7 // n))
        for name, ours, theirs in cases(x, y, z, w):
            t = np.empty((reps, 2))
            for r in range(reps):
                for k in ((0, 1) if r % 2 == 0 else (1, 0)):
                    t[r, k] = seconds_of(ours if k == 0 else theirs)
            m, p = (float(np.median(slowest(t[:, k]))) * 1e3 for k in (0, 1))
            if comm.rank == 0:
                print(f"{name:<17} {n:>9} {m:>10.2f} {p:>10.2f} {p / m:>7.2f}", flush=True)


if __name__ == "__main__":
    main()
