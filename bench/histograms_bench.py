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
"""
import sys

import numpy as np
from mpi4py import MPI

import virdastatistics as vs
from bench_timing import seconds_of, slowest

comm = MPI.COMM_WORLD


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
