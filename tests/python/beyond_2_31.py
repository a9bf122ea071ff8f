"""An Array of 2^31 + 2^20 uint8 elements, more than a 32-bit count holds,
over the ranks of the job (2): its mean, smallest element and median are
exactly those NumPy finds from the counts of each value. The elements follow
a pattern of period 251 along the global index, written in pieces into each
rank's block; the expected figures come from each rank's np.bincount, summed
over the ranks in exact integers."""
from fractions import Fraction

import numpy as np
from mpi4py import MPI

import virdastatistics as vs

world = MPI.COMM_WORLD
N = 2**31 + 2**20
PERIOD = np.arange(251, dtype=np.int64) * 37 % 251 + 3  # values 3 .. 253
PIECE = 1 << 26

with vs.empty(N, dtype="uint8") as a:
    block = a.local
    first = a.local_range.start
    counts = np.zeros(256, dtype=np.int64)
    for start in range(0, len(block), PIECE):
        stop = min(start + PIECE, len(block))
        piece = np.resize(np.roll(PERIOD, -((first + start) % 251)), stop - start).astype(np.uint8)
        block[start:stop] = piece
        counts += np.bincount(piece, minlength=256)
    del block
    counts = world.allreduce(counts)
    assert counts.sum() == N and a.size == N
    total = int(np.dot(counts, np.arange(256, dtype=np.int64)))
    below = np.cumsum(counts)
    median = float(np.searchsorted(below, N // 2 + 1))  # N even: the two middle elements
    lower = float(np.searchsorted(below, N // 2))
    expected = (float(Fraction(total, N)), float(np.nonzero(counts)[0][0]), (lower + median) / 2)
    found = (vs.mean(a), vs.quantile(a, 0.0), vs.median(a))

if world.rank == 0:
    print("expected", expected, "found", found, flush=True)
assert found == expected, (found, expected)
