"""Test data from the global index, and the gathered view of an array.

Every rank can compute the whole data (and so the expected answer) without
communication; blocks of it go to the ranks in the counts a test chooses.
"""
import numpy as np
from mpi4py import MPI

WORLD = MPI.COMM_WORLD


def x_of(g):
    """Values in [0, 100) spread evenly (the golden-ratio sequence)."""
    return np.fmod(np.asarray(g, dtype=np.float64) * 0.6180339887498949, 1.0) * 100.0


def y_of(g):
    g = np.asarray(g, dtype=np.float64)
    return 3.0 + 0.25 * x_of(g) + 0.5 * np.sin(g)


def w_of(g):
    return 1.0 + np.asarray(g) % 5


def counts(n, size, how):
    """Rows per rank for n rows over `size` ranks: 'even' (the library's
    layout), 'first' (all on rank 0), 'last' (all on the last rank) or
    'ramp' (rank r gets about r + 1 shares)."""
    if how == "even":
        q, m = divmod(n, size)
        return [q + (1 if r < m else 0) for r in range(size)]
    if how == "first":
        return [n] + [0] * (size - 1)
    if how == "last":
        return [0] * (size - 1) + [n]
    weights = np.arange(1, size + 1)
    c = (n * weights) // weights.sum()
    c[-1] += n - c.sum()
    return [int(v) for v in c]


def block(values, comm, how, rank=None):
    """This rank's rows of `values` (or those of `rank`) when they are split
    over comm as counts(how)."""
    rank = comm.rank if rank is None else rank
    c = counts(len(values), comm.size, how)
    start = sum(c[:rank])
    return values[start : start + c[rank]]


def gathered(a):
    """Every rank's .local of `a`, in rank order, on every rank (collective)."""
    return np.concatenate(a.comm.allgather(np.array(a.local)))


def same_everywhere(value, comm=WORLD):
    """Whether every rank of comm holds the same value (bits, for floats)."""
    mine = np.asarray(value).tobytes()
    return all(v == mine for v in comm.allgather(mine))
