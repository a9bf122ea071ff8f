"""The NumPy-suite runner's wrapper (numpy_suite/shim.py): rows split over
the ranks, local results gathered, and failures on one rank raised on all."""
import os
import sys
import warnings

import numpy as np
import pytest
from mpi4py import MPI

import virdastatistics as vs

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "numpy_suite"))
import shim  # noqa: E402

WORLD = MPI.COMM_WORLD


@pytest.mark.parametrize("ranks", [1, 2, 3, 4])
def test_split_bounds_cover_the_rows_with_rank_1_empty_in_turn(ranks):
    for rows in range(9):
        for k in range(3):
            b = shim.split_bounds(rows, ranks, k)
            assert len(b) == ranks + 1 and b[0] == 0 and b[-1] == rows
            assert all(x <= y for x, y in zip(b, b[1:]))
        even = np.diff(shim.split_bounds(rows, ranks, 0))
        assert even.max() - even.min() <= 1
        if ranks > 1:
            assert shim.split_bounds(rows, ranks, 1)[1:3] == [shim.split_bounds(rows, ranks, 1)[1]] * 2


@pytest.mark.parametrize("value, reason", [
    (np.arange(4.0), None),
    ([[1, 2], [3, 4]], None),
    (np.arange(4, dtype=">f8"), "dtype >f8"),
    (np.ones(3, bool), None),
    (np.ones(3, np.float16), None),
    (np.ones(3, np.longdouble), None),
    (np.ones(3, complex), "dtype complex"),
    (np.array([1, "a"], object), "dtype object"),
    (np.ma.array([1.0, 2.0]), "ndarray subclass MaskedArray"),
    (np.arange(2.0).view(type("Sub", (np.ndarray,), {})), "ndarray subclass Sub"),
])
def test_scope(value, reason):
    assert shim._scope("mean", value, False)[1] == reason


def test_long_double_goes_to_the_module_where_it_reads_it():
    x = np.ones(3, np.longdouble)
    for name in ("sum", "nanvar", "min", "ptp", "nanargmax", "median", "nanquantile", "percentile"):
        assert shim._scope(name, x, False)[1] is None
    for name in ("average", "histogram"):
        assert shim._scope(name, x, False)[1] == "dtype float128", name
    assert shim._scope("sum", x.astype(x.dtype.newbyteorder(">")), False)[1] is not None


def test_float16_stays_with_numpy_for_histograms():
    assert shim._scope("histogram", np.ones(3, np.float16), False)[1] == "dtype float16"
    assert shim._scope("histogram", np.ones(3, bool), False)[1] is None


@pytest.fixture
def fake(monkeypatch):
    """A module function that records its blocks and answers from them."""
    calls = []

    def mean(a, axis=None, out=None, keepdims=False, *, comm=None):
        assert comm is WORLD
        calls.append(a)
        if axis == 1:
            result = a.sum(axis=1)
            if out is not None:
                out[...] = result
                return out
            return result
        return np.float64(comm.allreduce(float(a.sum())))

    monkeypatch.setattr(vs, "mean", mean, raising=False)
    shim.RECORDER.reset()
    return calls, shim._wrapper("mean", np.mean)


def test_blocks_are_the_rows_of_each_rank(fake):
    calls, mean = fake
    data = np.arange(24.0).reshape(8, 3)
    for _ in range(3):
        assert mean(data) == data.sum()
        blocks = WORLD.allgather(calls[-1])
        np.testing.assert_array_equal(np.concatenate(blocks), data)
    sizes = [[len(b) for b in WORLD.allgather(block)] for block in calls]
    if WORLD.size > 1:
        assert any(s[1] == 0 for s in sizes)
    assert shim.RECORDER.in_scope == {"mean": 3}


def test_results_local_to_the_rows_are_gathered(fake):
    _, mean = fake
    data = np.arange(30.0).reshape(10, 3)
    np.testing.assert_array_equal(mean(data, 1), data.sum(axis=1))
    out = np.full(10, -1.0)
    assert mean(data, axis=1, out=out) is out
    np.testing.assert_array_equal(out, data.sum(axis=1))


def test_quantiles_local_to_the_rows_are_gathered_after_the_axes_of_q(monkeypatch):
    original = np.percentile

    def percentile(a, q, axis=None, out=None, *, comm=None):
        return original(a, q, axis=axis, out=out)

    monkeypatch.setattr(vs, "percentile", percentile, raising=False)
    wrapped = shim._wrapper("percentile", original)
    data = np.arange(40.0).reshape(8, 5)
    q = [[10, 50], [90, 100]]
    np.testing.assert_array_equal(wrapped(data, q, axis=1), original(data, q, axis=1))
    out = np.zeros((2, 2, 8))
    assert wrapped(data, q, axis=-1, out=out) is out
    np.testing.assert_array_equal(out, original(data, q, axis=1))


def test_out_of_scope_goes_to_numpy(fake):
    calls, mean = fake
    assert mean(np.array([1 + 1j, 3 + 1j])) == 2 + 1j
    assert calls == [] and shim.RECORDER.out_of_scope == {("mean", "dtype complex"): 1}


def test_a_function_or_keyword_the_module_lacks_fails_the_call(fake, monkeypatch):
    calls, mean = fake
    with pytest.raises(shim.NotInModule, match="no keyword 'dtype'"):
        mean(np.arange(3.0), dtype=np.float32)
    monkeypatch.delattr(vs, "median", raising=False)
    with pytest.raises(shim.NotInModule, match="no function median"):
        shim._wrapper("median", np.median)(np.arange(3.0))
    assert calls == []


def test_module_raising_on_one_rank_raises_on_every_rank(fake, monkeypatch):
    _, mean = fake

    def mean_failing_on_the_last_rank(a, axis=None, *, comm=None):
        if WORLD.rank == WORLD.size - 1:
            raise ValueError("only here")
        return np.float64(0)

    monkeypatch.setattr(vs, "mean", mean_failing_on_the_last_rank)
    expected = ValueError if WORLD.size == 1 else shim.ShimError
    with pytest.raises(expected, match="only here" if WORLD.size == 1 else f"rank {WORLD.size - 1}: ValueError: only here"):
        mean(np.arange(6.0))


def test_module_warning_on_one_rank_raises_on_every_rank(fake, monkeypatch):
    _, mean = fake

    def mean_warning_on_rank_0(a, axis=None, *, comm=None):
        if WORLD.rank == 0:
            warnings.warn("Mean of empty slice", RuntimeWarning)
        return np.float64(1)

    monkeypatch.setattr(vs, "mean", mean_warning_on_rank_0)
    if WORLD.size == 1:
        with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
            assert mean(np.arange(6.0)) == 1
    else:
        with pytest.raises(shim.ShimError, match="rank 0: returned warning RuntimeWarning: Mean of empty slice"):
            mean(np.arange(6.0))


def test_wrapper_failing_on_one_rank_raises_on_every_rank(fake, monkeypatch):
    calls, mean = fake
    prepare = shim._prepare

    def prepare_failing_on_the_last_rank(*args):
        if WORLD.rank == WORLD.size - 1:
            raise MemoryError("no room")
        return prepare(*args)

    monkeypatch.setattr(shim, "_prepare", prepare_failing_on_the_last_rank)
    with pytest.raises(shim.ShimError, match=f"rank {WORLD.size - 1}: the wrapper failed: MemoryError"):
        mean(np.arange(6.0))
    assert calls == []


def test_ranks_with_different_data_raise_on_every_rank(fake):
    calls, mean = fake
    data = np.arange(6.0)
    data[0] = WORLD.rank
    if WORLD.size > 1:
        with pytest.raises(shim.ShimError, match="different calls"):
            mean(data)
        assert calls == []
