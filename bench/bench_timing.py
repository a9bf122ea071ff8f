"""Timing calls across the ranks, for the Python benchmarks.

Every rank starts a call together (a barrier first); a call takes as long as
its slowest rank.
"""
import time

import numpy as np
from mpi4py import MPI


def seconds_of(run, comm=MPI.COMM_WORLD):
    """This rank's seconds for run(), started after a barrier."""
    comm.Barrier()
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def slowest(seconds, comm=MPI.COMM_WORLD):
    """The slowest rank's time of each call: element-wise maxima over the ranks."""
    out = np.empty(len(seconds))
    comm.Allreduce(np.ascontiguousarray(seconds, dtype=np.float64), out, op=MPI.MAX)
    return out


def slowest_seconds_of(run, comm=MPI.COMM_WORLD):
    """The seconds of run() on the slowest rank."""
    return comm.allreduce(seconds_of(run, comm), op=MPI.MAX)


def median_time(run, reps, comm=MPI.COMM_WORLD):
    """The median over `reps` calls of the slowest rank's seconds."""
    return float(np.median([slowest_seconds_of(run, comm) for _ in range(reps)]))
