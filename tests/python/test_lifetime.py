"""Releasing arrays: free() and `with` at once and collectively (refused on
every rank while a view lives on one); objects the reference counts or the
garbage collector drop free their blocks there and then, with no MPI call,
so that a collector running on some ranks only never leaves the others alone
in a collective (a hang would end the job through MPIEXEC_TIMEOUT and fail
the test)."""
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
    """An array held in cyclic garbage is freed where the collector runs, on
    rank 0 alone: no rank waits for another, and the others still hold it."""
    base = vs.live_arrays()
    Cycle(vs.zeros(10))  # garbage at once, but only the collector can free it
    if WORLD.rank == 0:
        gc.collect()
    with vs.full(4, 2.0) as b:
        assert vs.std(b) == 0.0
        live = vs.live_arrays()
    gc.collect()
    assert live == (base + 1 if WORLD.rank == 0 else base + 2)
    assert vs.live_arrays() == base and vs.queued_releases() == 0 and vs.collect() == 0


def test_references_dropped_on_different_ranks():
    base = vs.live_arrays()
    kept = [vs.zeros(3)]
    if WORLD.rank % 2 == 1:
        kept.clear()  # odd ranks drop the array now, even ones later
    with vs.zeros(3) as b:
        assert vs.mean(b) == 0.0
    live_before = vs.live_arrays()
    kept.clear()
    assert live_before == (base if WORLD.rank % 2 == 1 else base + 1)
    assert vs.live_arrays() == base


def test_collector_at_different_moments_never_hangs(collector_off):
    """Cyclic garbage holding arrays, collected at rank-dependent moments
    amid creations and statistics; everything ends freed."""
    base = vs.live_arrays()
    for i in range(40):
        Cycle(vs.full(5, float(i)))
        if (i + WORLD.rank) % (2 + WORLD.rank) == 0:
            gc.collect()
        with vs.full(5, float(i)) as a:
            assert vs.median(a) == float(i)
    gc.collect()
    assert vs.live_arrays() == base


def test_rebinding_in_a_loop_keeps_one_array():
    base = vs.live_arrays()
    most = 0
    for _ in range(50):
        a = vs.zeros(100, dtype=np.int32)  # the previous one is freed when `a` is rebound
        most = max(most, vs.live_arrays() - base)
    del a
    assert most == 1 and vs.live_arrays() == base


def test_many_live_arrays():
    """Arrays hold no MPI resource: thousands alive at once, each with its
    own block, dropped in any order."""
    base = vs.live_arrays()
    arrays = [vs.full(3, float(i)) for i in range(5000)]
    assert vs.live_arrays() == base + 5000
    assert vs.mean(arrays[4999]) == 4999.0 and vs.median(arrays[0]) == 0.0
    del arrays[::2]
    assert vs.live_arrays() == base + 2500
    arrays.clear()
    assert vs.live_arrays() == base


def test_arrays_over_several_communicators_are_separate():
    other = WORLD.Dup()
    a = vs.zeros(4, comm=other)
    b = vs.zeros(4)
    assert vs.live_arrays(other) == 1
    del a
    assert vs.live_arrays(other) == 0 and vs.queued_releases(other) == 0 and vs.collect(other) == 0
    b.free()
    other.Free()


def test_arrays_over_both_halves_of_a_split_at_once():
    """Arrays created at the same time over the two disjoint halves of one
    split, each half computing its own statistics."""
    if WORLD.size < 2:
        pytest.skip("needs two ranks")
    colour = WORLD.rank % 2
    half = WORLD.Split(colour, WORLD.rank)
    try:
        arrays = [vs.full((7, 2), float(colour + 1), comm=half) for _ in range(20)]
        mine = vs.from_local(np.full(3, float(half.rank + 10 * colour)), comm=half)
        means = [vs.mean(a) for a in arrays]
        assert means == [float(colour + 1)] * 20
        assert vs.median(mine) == float(10 * colour + (half.size - 1) / 2)
        assert vs.live_arrays(half) == 21
        del arrays, mine
        assert vs.live_arrays(half) == 0
    finally:
        half.Free()
