"""For the harness's own test (tests/python/CMakeLists.txt): the last rank
fails the first test after a collective call, every rank passes the second.
The job must fail, rank 0 must name the failing rank, and the second test
must still run on every rank (no rank left waiting)."""
from mpi4py import MPI

import virdastatistics as vs

WORLD = MPI.COMM_WORLD


def test_fails_on_the_last_rank_only():
    with vs.full(4, 1.0) as a:
        m = vs.mean(a)
    assert m == 1.0
    assert WORLD.rank != WORLD.size - 1, "the last rank fails on purpose"


def test_runs_after_it_on_every_rank():
    with vs.zeros(4) as a:
        assert vs.mean(a) == 0.0
