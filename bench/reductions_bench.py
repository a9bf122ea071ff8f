"""The module's reductions against NumPy, per call.

Usage: mpiexec.openmpi -n R /usr/bin/python3 reductions_bench.py [N ...]
       (default 10^4 10^6 10^7; the module on PYTHONPATH)

For sum, mean, var, min, max and argmax of N float64 values, with axis=None on
a 1-D array and with axis=0 on an (N/64, 64) one, on R ranks each holding its
share of the rows: the module's call and NumPy's call on this rank's share
(on one rank: the whole data), microseconds, the median over repeated calls
of the slowest rank (a barrier before each call, the two timed in turn), and
numpy / module (above 1: the module is faster).
"""
import sys

import numpy as np
from mpi4py import MPI

import virdastatistics as vs
from bench_timing import seconds_of, slowest

comm = MPI.COMM_WORLD
NAMES = ["sum", "mean", "var", "min", "max", "argmax"]


def main():
    sizes = [int(float(a)) for a in sys.argv[1:]] or [10**4, 10**6, 10**7]
    rng = np.random.default_rng(1)
    if comm.rank == 0:
        print(f"ranks {comm.size}")
        print(f"{'operation':<8} {'N':>9} {'axis':>5} {'module_us':>11} {'numpy_us':>11} {'ratio':>7}")
    for n in sizes:
        rows = n // 64
        mine_rows = rows // comm.size + (1 if comm.rank < rows % comm.size else 0)
        table = rng.standard_normal((mine_rows, 64))
        flat = table.reshape(-1)
        reps = max(5, min(200, 2 * 10**7 // n))
        for name in NAMES:
            for axis, data in ((None, flat), (0, table)):
                ours = getattr(vs, name)
                theirs = getattr(np, name)
                t = np.empty((reps, 2))
                for r in range(reps):
                    order = (0, 1) if r % 2 == 0 else (1, 0)
                    for k in order:
                        if k == 0:
                            t[r, 0] = seconds_of(lambda: ours(data, axis=axis))
                        else:
                            t[r, 1] = seconds_of(lambda: theirs(data, axis=axis))
                m, p = (float(np.median(slowest(t[:, k]))) * 1e6 for k in (0, 1))
                if comm.rank == 0:
                    print(f"{name:<8} {n:>9} {str(axis):>5} {m:>11.1f} {p:>11.1f} {p / m:>7.2f}", flush=True)


if __name__ == "__main__":
    main()
