"""Releasing arrays: free() and `with` at once and collectively; objects the
reference counts or the garbage collector drop are queued and released only
where every rank has queued them, so that a collector running on some ranks
only never leaves the others alone in a collective (a hang would end the job
through MPIEXEC_TIMEOUT and fail the test)."""
import gc

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD


@pytest.fixture
def collector_off():
    gc.collect()
    gc.disable()
    yield
    gc.enable()


class Cycle:
    """An object only the cyclic garbage collector frees."""

    def __init__(self, array):
        self.array = array
        self.me = self


def test_free_and_with_release_at_once():
    base = vs.live_arrays()
    a = vs.zeros(6)
    with vs.full(6, 1.0) as b:
        assert vs.live_arrays() == base + 2
        assert vs.mean(b) == 1.0
    assert b.freed and vs.live_arrays() == base + 1
    a.free()
    a.free()
    assert a.freed and vs.live_arrays() == base


def test_free_waits_for_views_on_every_rank():
    a = vs.zeros(8)
    view = a.local if WORLD.rank == WORLD.size - 1 else None  # one rank keeps a view
    with pytest.raises(BufferError, match="still alive"):
        a.free()
    assert not a.freed and vs.mean(a) == 0.0  # nothing was released, anywhere
    derived = view[1:] if view is not None else None
    del view
    with pytest.raises(BufferError):
        a.free()  # a slice keeps the block exported too
    del derived
    a.free()
    assert a.freed


def test_collector_on_one_rank_only(collector_off):
    base = vs.live_arrays()
    alone = WORLD.size == 1
    Cycle(vs.zeros(10))  # garbage at once, but only the collector can free it
    if WORLD.rank == 0:
        gc.collect()  # queues the array on rank 0 alone
    with vs.full(4, 2.0) as b:  # a collective point: only an array queued everywhere goes
        assert vs.std(b) == 0.0
        live, queued = vs.live_arrays(), vs.queued_releases()
    gc.collect()  # now every rank has queued it
    released = vs.collect()
    if alone:
        assert (live, queued, released) == (base + 1, 0, 0)
    else:
        assert (live, queued, released) == (base + 2, 1 if WORLD.rank == 0 else 0, 1)
    assert vs.live_arrays() == base and vs.queued_releases() == 0


def test_references_dropped_on_different_ranks():
    base = vs.live_arrays()
    kept = [vs.zeros(3)]
    if WORLD.rank % 2 == 1:
        kept.clear()  # odd ranks drop the array now, even ones later
    with vs.zeros(3) as b:
        assert vs.mean(b) == 0.0
    live_before = vs.live_arrays()
    kept.clear()
    released = vs.collect()
    assert live_before == base + 1
    assert released == 1 and vs.live_arrays() == base


def test_collector_at_different_moments_never_hangs(collector_off):
    """Cyclic garbage holding arrays, collected at rank-dependent moments
    amid creations and statistics; everything ends released."""
    base = vs.live_arrays()
    for i in range(40):
        Cycle(vs.full(5, float(i)))
        if (i + WORLD.rank) % (2 + WORLD.rank) == 0:
            gc.collect()
        with vs.full(5, float(i)) as a:
            assert vs.median(a) == float(i)
    gc.collect()
    vs.collect()
    assert vs.live_arrays() == base


def test_rebinding_in_a_loop_keeps_few_arrays():
    base = vs.live_arrays()
    most = 0
    for _ in range(50):
        a = vs.zeros(100, dtype=np.int32)  # the previous one is queued everywhere, released here
        most = max(most, vs.live_arrays() - base)
    del a
    vs.collect()
    assert most <= 2 and vs.live_arrays() == base


def test_arrays_over_several_communicators_are_separate():
    other = WORLD.Dup()
    a = vs.zeros(4, comm=other)
    b = vs.zeros(4)
    assert vs.live_arrays(other) == 1
    del a
    assert vs.queued_releases(other) == 1 and vs.collect() == 0  # collect over the world releases none of other's
    assert vs.collect(other) == 1 and vs.live_arrays(other) == 0
    b.free()
    other.Free()
