"""Failures on one rank only, raised on every rank: a block that NumPy cannot
convert, a masked block, and one rank short of memory (its address space
limited for the one call) in histogram, bin_data, polyfit and from_local.
Before the ranks agreed, the failing rank raised alone and the others waited
in a collective: registered at 2 to 4 ranks under a time limit, so that a
hang fails the run (tests/python/CMakeLists.txt)."""
import contextlib
import os
import resource

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD

LAST = WORLD.size - 1

# AddressSanitizer's operator new ends the process when memory runs out
# instead of throwing std::bad_alloc: nothing to raise on any rank.
needs_bad_alloc = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="under AddressSanitizer a failed allocation ends the process")


@contextlib.contextmanager
def short_of_memory(rank, headroom=16 << 20):
    """On `rank` only: at most `headroom` more bytes of address space than
    the process holds now, for the body."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limited = WORLD.rank == rank
    if limited:
        with open("/proc/self/statm") as statm:
            held = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (held + headroom, hard))
    try:
        yield
    finally:
        if limited:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def raised_everywhere(error, match, call, headroom=16 << 20):
    """`call`, with the last rank short of memory where `error` is
    MemoryError, raises `error` on every rank; afterwards every rank is in
    step."""
    limit = short_of_memory(LAST, headroom) if error is MemoryError else contextlib.nullcontext()
    with pytest.raises(error, match=match):
        with limit:
            call()
    assert WORLD.allreduce(1) == WORLD.size


class Unconvertible:
    def __array__(self, dtype=None):
        raise TypeError("no array here")


def test_a_block_numpy_cannot_convert_on_one_rank():
    ragged = [[1.0, 2.0], [3.0]] if WORLD.rank == LAST else [[1.0, 2.0]]
    raised_everywhere(ValueError, f"from_local: the block on rank {LAST} could not be converted",
                      lambda: vs.from_local(ragged))
    unconvertible = Unconvertible() if WORLD.rank == LAST else np.zeros(2)
    raised_everywhere(TypeError, f"from_local: the block on rank {LAST} could not be converted .*no array here",
                      lambda: vs.from_local(unconvertible))


def test_a_masked_block_on_one_rank():
    mask = [WORLD.rank == LAST, False]
    raised_everywhere(ValueError, f"masked elements on rank {LAST}",
                      lambda: vs.from_local(np.ma.masked_array([1.0, 2.0], mask=mask)))


@needs_bad_alloc
def test_histogram_with_one_rank_short_of_memory():
    with vs.zeros(10) as a:
        raised_everywhere(MemoryError, f"histogram: .* on rank {LAST}",
                          lambda: vs.histogram_above_lower(a, 0.0, 1.0, 1 << 24))
        counts = vs.histogram_above_lower(a, -0.5, 1.0, 3)  # the ranks go on together
    assert counts.tolist() == [10, 0, 0]


@needs_bad_alloc
def test_bin_data_with_one_rank_short_of_memory():
    centres = np.arange(float(1 << 22))
    with vs.zeros(10) as a:
        raised_everywhere(MemoryError, f"bin_data: .* on rank {LAST}", lambda: vs.bin_data(a, a, centres))
        assert vs.bin_data(a, a, centres[:3]).tolist() == [0.0, 0.0, 0.0]


@needs_bad_alloc
def test_polyfit_with_one_rank_short_of_memory():
    with vs.from_local(np.arange(4.0)) as a:
        raised_everywhere(MemoryError, f"polyfit: .* on rank {LAST}", lambda: vs.polyfit(a, a, 2000))
        assert vs.polyfit(a, a, 1) == pytest.approx([1.0, 0.0], abs=1e-15)


@needs_bad_alloc
def test_from_local_with_one_rank_short_of_memory():
    """The last rank gives every row as a strided view, which must be made
    contiguous (a 32 MiB copy) before the rows are moved to where the layout
    puts them; at 2 ranks its own block (16 MiB) fails first."""
    rows = 1 << 22
    whole = np.arange(2 * rows, dtype=np.int64) if WORLD.rank == LAST else np.zeros(0, dtype=np.int64)
    mine = whole[::2]
    raised_everywhere(MemoryError, f"from_local: .* on rank {LAST}", lambda: vs.from_local(mine), 12 << 20)
    with vs.from_local(mine[:8]) as a:
        assert a.shape == (8,)


@needs_bad_alloc
def test_creation_with_one_rank_short_of_memory():
    """Blocks of 8 MiB or more on every rank; the last rank cannot get its own."""
    for make in (lambda: vs.zeros(1 << 23), lambda: vs.full((1 << 22, 2), 1.5), lambda: vs.empty(1 << 23)):
        raised_everywhere(MemoryError, f"its block could not be allocated on rank {LAST}", make, 4 << 20)
    with vs.zeros(1 << 20, dtype=np.uint8) as a, a.astype("float64") as b:
        assert vs.mean(b) == 0.0  # the ranks go on together


@needs_bad_alloc
def test_bin_data_moving_x_with_one_rank_short_of_memory():
    """x laid out otherwise than y: x's elements are moved into a buffer of
    y's layout, which the last rank cannot allocate."""
    n = 1 << 22
    with vs.zeros(n) as x, vs.zeros((n // 2, 2)) as y:
        raised_everywhere(MemoryError, f"bin_data: .* on rank {LAST}", lambda: vs.bin_data(x, y, [0.0, 1.0]),
                          4 << 20)
        assert vs.bin_data(x, y, [0.0, 1.0]).tolist() == [0.0, 0.0]


@needs_bad_alloc
def test_histogram_of_numpy_values_with_one_rank_short_of_memory():
    mine = np.zeros(10)
    raised_everywhere(MemoryError, f"histogram: .* on rank {LAST}",
                      lambda: vs.histogram_above_lower(mine, 0.0, 1.0, 1 << 24, comm=WORLD))
    assert vs.histogram_above_lower(mine, -0.5, 1.0, 3).tolist() == [10 * WORLD.size, 0, 0]  # the ranks go on together


def test_numpy_values_refused_on_one_rank():
    """A block of another dtype, with a masked element, or with weights of
    another shape on the last rank only: it raises its own exception, the
    others a ValueError naming it, and nobody waits."""
    named = f"rank {LAST} could not read its values"
    last = WORLD.rank == LAST
    odd_dtype = np.zeros(3, dtype=np.complex128 if last else np.float64)
    masked = np.ma.masked_array([1.0, 2.0], mask=[last, False])
    for call in (lambda: vs.mean(odd_dtype), lambda: vs.median(odd_dtype),
                 lambda: vs.histogram_above_lower(odd_dtype, 0.0, 1.0, 4), lambda: vs.quantile(masked, [0.5])):
        with pytest.raises((TypeError, ValueError)) as raised:
            call()
        if not last:
            assert raised.match(named)
        assert WORLD.allreduce(1) == WORLD.size
    weights = np.ones(2 if last else 3)
    with pytest.raises(ValueError, match="weights must have the shape" if last else
                       f"rank {LAST} could not read its weights"):
        vs.mean(np.ones(3), weights=weights)
    assert vs.mean(np.ones(3)) == 1.0  # the ranks go on together


def test_long_double_block_on_one_rank_only():
    """longdouble data on the last rank and float64 on the others: the two
    readings meet in one exchange, and every rank finds the blocks unlike."""
    mine = np.ones(3, dtype=np.longdouble if WORLD.rank == LAST else np.float64)
    for call in (vs.mean, vs.sum, vs.max, lambda x: vs.var(x, axis=0)):
        with pytest.raises(RuntimeError, match="blocks differ in dtype"):
            call(mine)
        assert WORLD.allreduce(1) == WORLD.size
    assert vs.sum(np.ones(3, dtype=np.longdouble)) == 3 * WORLD.size  # the ranks go on together


@needs_bad_alloc
def test_quantile_with_one_rank_short_of_memory():
    q = np.full(1 << 22, 0.5)
    raised_everywhere(MemoryError, f"quantile: .* on rank {LAST}", lambda: vs.quantile(np.zeros(10), q))
    assert vs.quantile(np.zeros(10), [0.5]).tolist() == [0.0]


@needs_bad_alloc
def test_reduction_whose_copy_fails_on_one_rank():
    """Kept axes that are no single strided axis are copied first: the last
    rank cannot, it raises MemoryError and the others a ValueError naming
    it, before the reduction; then the ranks go on together."""
    x = np.zeros((2, 2, 2, 1 << 19))  # 32 MiB, the copy as much again
    with pytest.raises((MemoryError, ValueError)) as raised:
        with short_of_memory(LAST):
            vs.max(x, axis=(0, 2))
    if WORLD.rank == LAST:
        assert raised.type is not ValueError
    else:
        assert raised.match(f"max: rank {LAST} could not read its values")
    assert WORLD.allreduce(1) == WORLD.size
    assert vs.max(x[:, :, :, :4], axis=(0, 2)).shape == (2, 4)  # the ranks go on together


@needs_bad_alloc
def test_reduction_whose_accumulator_fails_on_one_rank():
    """The accumulators' state per kept element is allocated before the ranks
    agree: 2^17 columns of exact totals (about 330 MB) on the last rank
    short of memory make every rank raise, and nobody waits."""
    x = np.ones((2, 1 << 17))
    for name in ("mean", "var"):
        with pytest.raises((MemoryError, ValueError)) as raised:
            with short_of_memory(LAST):
                getattr(vs, name)(x, axis=0)
        if WORLD.rank == LAST:
            assert raised.type is not ValueError
        else:
            assert raised.match(f"{name}: rank {LAST} could not read its values")
        assert WORLD.allreduce(1) == WORLD.size
    assert vs.max(x[:, :3], axis=0).tolist() == [1.0] * 3  # the ranks go on together


def test_weighted_and_columned_quantiles_with_one_rank_short_of_memory():
    q = np.full(1 << 22, 0.5)
    table = np.zeros((10, 3))
    raised_everywhere(MemoryError, f"nanquantile: .* on rank {LAST}",
                      lambda: vs.nanquantile(table, q, axis=0, method="inverted_cdf", weights=np.ones((10, 3))))
    raised_everywhere(MemoryError, f"percentile: .* on rank {LAST}", lambda: vs.percentile(table, q, axis=0))
    assert vs.median(table, axis=0).tolist() == [0.0, 0.0, 0.0]  # the ranks go on together


def test_quantile_weights_refused_on_one_rank():
    """Weights of another dtype, or negative, on the last rank only."""
    last = WORLD.rank == LAST
    x = np.arange(4.0)
    odd = np.ones(4, dtype=np.complex128 if last else np.float64)
    with pytest.raises((TypeError, ValueError)) as raised:
        vs.quantile(x, 0.5, method="inverted_cdf", weights=odd)
    if not last:
        assert raised.match(f"rank {LAST} could not read its values")
    assert WORLD.allreduce(1) == WORLD.size
    negative = np.array([1.0, 1.0, -1.0 if last else 1.0, 1.0])
    raised_everywhere(ValueError, "Weights must be non-negative",
                      lambda: vs.quantile(x, 0.5, method="inverted_cdf", weights=negative))
    assert vs.quantile(x, 1.0, method="inverted_cdf", weights=np.ones(4)) == 3.0


@pytest.mark.parametrize("axis", [None, 0])
def test_quantile_arguments_refused_on_one_rank(axis):
    """A probability, a method or a weights/method pairing that the last
    rank alone refuses, with every axis reduced (the ranks agree in the
    selection's count) and along axis 0 (in an agreement of their own): it
    raises its own exception, the others a ValueError naming it."""
    last = WORLD.rank == LAST
    x = np.arange(6.0).reshape(3, 2)
    calls = [(ValueError, lambda: vs.quantile(x, [0.5, 1.5 if last else 0.25], axis=axis)),
             (ValueError, lambda: vs.percentile(x, 101.0 if last else 50.0, axis=axis)),
             (ValueError, lambda: vs.quantile(x, 0.5, axis=axis, method="sideways" if last else "linear")),
             (ValueError, lambda: vs.quantile(x, 0.5, axis=axis, method="linear" if last else "inverted_cdf",
                                              weights=np.ones((3, 2))))]
    for error, call in calls:
        with pytest.raises(error) as raised:
            call()
        if not last:
            assert raised.match(f"rank {LAST} could not read its values")
        assert WORLD.allreduce(1) == WORLD.size
    assert vs.median(x) == 2.5  # the ranks go on together


def test_quantile_probabilities_differing_between_ranks():
    """Probabilities or methods that every rank accepts but that differ
    between ranks: a selection of other ranks on each would give each rank
    another answer (or leave them in different rounds); every rank raises."""
    last = WORLD.rank == LAST
    x = np.arange(8.0)
    for call in (lambda: vs.quantile(x, [0.25, 0.75] if last else [0.25, 0.5]),
                 lambda: vs.quantile(x, [0.5] if last else [0.5, 0.5]),
                 lambda: vs.quantile(x, 0.5, method="lower" if last else "higher"),
                 lambda: vs.nanmedian(x.astype(np.float32) if last else x)):
        with pytest.raises(RuntimeError, match="different dtypes or shapes .*, or were given different"):
            call()
        assert WORLD.allreduce(1) == WORLD.size
    assert vs.quantile(x, [0.25, 0.75]).tolist() == np.quantile(np.tile(x, WORLD.size), [0.25, 0.75]).tolist()


def test_array_average_weights_refused_on_one_rank():
    """average of an Array along an axis, weights of a wrong length on the
    last rank only."""
    last = WORLD.rank == LAST
    with vs.from_local(np.arange(12.0).reshape(2, 6)) as a:
        with pytest.raises(ValueError) as raised:
            vs.average(a, axis=1, weights=np.ones(5 if last else 6))
        if not last:
            assert raised.match(f"rank {LAST} could not read its values")
        assert WORLD.allreduce(1) == WORLD.size


@pytest.mark.parametrize("call", [
    lambda last: vs.histogram(np.arange(10.0), bins=-1 if last else 3),
    lambda last: vs.histogram(np.arange(10.0), bins=3, range=(0.0, np.nan) if last else None),
    lambda last: vs.histogram(np.arange(10.0), bins="auto" if last else 4),
    lambda last: vs.histogram(np.arange(10.0), bins=4, density=last),
    lambda last: vs.histogramdd(np.ones((5, 2)), bins=(0, 3) if last else 3),
    lambda last: vs.binned_statistic(np.arange(10.0), np.arange(10.0), "bogus" if last else "mean", bins=4),
    lambda last: vs.binned_statistic(np.arange(10.0), np.arange(10.0), bins=4, range=None if last else (0, 9)),
    lambda last: vs.binned_statistic_2d(np.arange(10.0), np.arange(10.0), np.arange(10.0), bins=[-1, 2] if last else 2),
], ids=["bins", "range", "estimator", "density", "dd bins", "statistic", "range none", "2d bins"])
def test_binning_arguments_that_differ_on_one_rank(call):
    """The collective contract broken: the last rank's bins, range, density
    or statistic differ from the others'. Every rank raises the same error
    instead of waiting in another collective, crashing, or returning another
    answer."""
    raised_everywhere(ValueError, "the ranks were given different arguments", lambda: call(WORLD.rank == LAST))


@needs_bad_alloc
def test_array_reduction_keeping_columns_with_one_rank_short_of_memory():
    """An Array reduced over every axis agrees on nothing before the
    engine's reduction (its accumulator is one column); one that keeps
    columns still does: 2^17 columns of exact totals on the last rank short
    of memory make every rank raise, and nobody waits."""
    with vs.from_local(np.ones((2 * WORLD.size, 1 << 17))) as a:
        with pytest.raises((MemoryError, ValueError)) as raised:
            with short_of_memory(LAST):
                vs.var(a, axis=0)
        if WORLD.rank == LAST:
            assert raised.type is not ValueError
        else:
            assert raised.match(f"var: rank {LAST} could not read its values")
        assert WORLD.allreduce(1) == WORLD.size
        assert vs.mean(a) == 1.0  # the ranks go on together, over every axis without the agreement
