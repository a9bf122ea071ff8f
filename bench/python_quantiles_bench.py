"""The module's median, quantile and nanmedian against NumPy, per call.

Usage: mpiexec.openmpi -n R /usr/bin/python3 python_quantiles_bench.py [N ...]
       (default 10^4 10^6 10^7; the module on PYTHONPATH)

For every N: float64 values (the golden-ratio sequence, a few NaN for the
nan rows), axis=None of N values and axis=0 of an (N/64, 64) table. Each
rank holds its share; NumPy runs on one rank on the whole data. Figures are
medians over repeated calls of the slowest rank's time (a barrier before
each call), module and NumPy timed in turn; ratio = numpy / module (above 1:
the module is faster). Compare ratios within one run only.
"""
import sys

import numpy as np
from mpi4py import MPI

import virdastatistics as vs
from bench_timing import median_time

comm = MPI.COMM_WORLD
Q5 = [0.05, 0.25, 0.5, 0.75, 0.95]


def rows():
    ns = [int(float(a)) for a in sys.argv[1:]] or [10**4, 10**6, 10**7]
    ops = [
        ("median", lambda a, axis: vs.median(a, axis=axis), lambda x, axis: np.median(x, axis=axis), False),
        ("quantile_linear_5p", lambda a, axis: vs.quantile(a, Q5, axis=axis),
         lambda x, axis: np.quantile(x, Q5, axis=axis), False),
        ("quantile_lower_5p", lambda a, axis: vs.quantile(a, Q5, axis=axis, method="lower"),
         lambda x, axis: np.quantile(x, Q5, axis=axis, method="lower"), False),
        ("quantile_hazen_5p", lambda a, axis: vs.quantile(a, Q5, axis=axis, method="hazen"),
         lambda x, axis: np.quantile(x, Q5, axis=axis, method="hazen"), False),
        ("nanmedian", lambda a, axis: vs.nanmedian(a, axis=axis), lambda x, axis: np.nanmedian(x, axis=axis), True),
    ]
    if comm.rank == 0:
        print(f"ranks {comm.size}; microseconds per call (median), ratio = numpy / module")
        print(f"{'operation':22} {'N':>9} {'axis':>5} {'module':>12} {'numpy':>12} {'ratio':>7}")
    for n in ns:
        g = np.arange(n, dtype=np.float64)
        x = np.fmod(g * 0.6180339887498949, 1.0) * 100.0
        with_nan = x.copy()
        with_nan[::1000] = np.nan
        reps = 31 if n <= 10**4 else 11 if n <= 10**6 else 5
        for name, ours, theirs, nans in ops:
            data = with_nan if nans else x
            for axis, shaped in ((None, data), (0, data[: n // 64 * 64].reshape(-1, 64))):
                mine = np.array_split(shaped, comm.size)[comm.rank]
                module = median_time(lambda: ours(mine, axis), reps)
                numpy = median_time(lambda: theirs(shaped, axis) if comm.rank == 0 else None, reps)
                if comm.rank == 0:
                    print(f"{name:22} {n:>9} {str(axis):>5} {module * 1e6:>12.1f} {numpy * 1e6:>12.1f} "
                          f"{numpy / module:>7.2f}", flush=True)


if __name__ == "__main__":
    rows()
