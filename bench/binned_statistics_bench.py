"""The module's binned_statistic_2d against scipy.stats.binned_statistic_2d, per call.

Usage: mpiexec.openmpi -n R /usr/bin/python3 binned_statistics_bench.py [N ...]
       (default 10^6 10^7; the module on PYTHONPATH)

For every N: points (x, y) and values from the golden-ratio sequence, 64 x 64
bins over the data's range (range=None: the module finds it over the
ranks), statistics 'mean' and 'median'. Each rank holds its share; SciPy
runs on one rank on the whole data. Figures are medians over repeated calls
of the slowest rank's time (a barrier before each call), module and SciPy
timed in turn; ratio = scipy / module (above 1: the module is faster).
Compare ratios within one run only.
"""
import sys

import numpy as np
import scipy.stats
from mpi4py import MPI

import virdastatistics as vs
from bench_timing import median_time

comm = MPI.COMM_WORLD


def rows():
    ns = [int(float(a)) for a in sys.argv[1:]] or [10**6, 10**7]
    if comm.rank == 0:
        print(f"ranks {comm.size}; milliseconds per call (median), ratio = scipy / module")
        print(f"{'statistic':10} {'N':>9} {'bins':>8} {'module':>10} {'scipy':>10} {'ratio':>7}")
    for n in ns:
        g = np.arange(n, dtype=np.float64)
        x = np.fmod(g * 0.6180339887498949, 1.0)
        y = np.fmod(g * 0.7548776662466927, 1.0)
        v = np.fmod(g * 0.5698402909980532, 1.0) * 100.0
        lo, hi = n * comm.rank // comm.size, n * (comm.rank + 1) // comm.size
        reps = 5 if n <= 10**6 else 3
        for statistic in ("mean", "median"):
            module = median_time(lambda: vs.binned_statistic_2d(x[lo:hi], y[lo:hi], v[lo:hi], statistic, bins=64),
                                 reps)
            scipy_time = median_time(
                lambda: scipy.stats.binned_statistic_2d(x, y, v, statistic, bins=64) if comm.rank == 0 else None,
                reps)
            if comm.rank == 0:
                print(f"{statistic:10} {n:>9} {'64x64':>8} {module * 1e3:>10.1f} {scipy_time * 1e3:>10.1f} "
                      f"{scipy_time / module:>7.2f}", flush=True)


if __name__ == "__main__":
    rows()
