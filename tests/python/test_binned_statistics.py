"""binned_statistic, binned_statistic_2d and binned_statistic_dd against
SciPy on the whole data: every statistic, points split unevenly (empty ranks
included), NaN and infinite values, several value arrays, integer values;
the same bits at any split; errors of one rank's data raised on every rank."""
import numpy as np
import pytest
import scipy.stats
from mpi4py import MPI

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere, x_of

STATISTICS = ["count", "sum", "mean", "std", "median", "min", "max"]
SPLITS = ["even", "first", "last", "ramp"]


def points(n=997):
    g = np.arange(n)
    x = x_of(g)
    y = x_of(g + 7919) - 50.0
    v = np.floor(x_of(3 * g + 1)) - 30.0  # ties
    v[g % 41 == 3] = np.nan
    v[g % 53 == 5] = np.inf
    return x, y, v


def close(got, want):
    return got.shape == want.shape and np.allclose(got, want, rtol=1e-13, atol=0, equal_nan=True)


@pytest.mark.parametrize("how", SPLITS)
@pytest.mark.parametrize("statistic", STATISTICS)
def test_2d_every_statistic_as_scipy_and_the_same_bits_at_any_split(statistic, how):
    x, y, v = points()
    want = scipy.stats.binned_statistic_2d(x, y, v, statistic, bins=[9, 4])
    got = vs.binned_statistic_2d(block(x, WORLD, how), block(y, WORLD, how), block(v, WORLD, how), statistic,
                                 bins=[9, 4])
    assert type(got).__name__ == "BinnedStatistic2dResult"
    assert close(got.statistic, want.statistic), statistic
    assert np.array_equal(got.x_edge, want.x_edge) and np.array_equal(got.y_edge, want.y_edge)
    assert np.array_equal(got.binnumber, block(want.binnumber, WORLD, how))
    assert same_everywhere(got.statistic)
    # All the points on one rank give the same bits.
    alone = vs.binned_statistic_2d(x, y, v, statistic, bins=[9, 4], comm=MPI.COMM_SELF)
    assert np.array_equal(got.statistic, alone.statistic, equal_nan=True)


@pytest.mark.parametrize("statistic", ["sum", "mean", "std", "median", "min", "max"])
def test_1d_several_value_arrays_integer_values_and_explicit_edges(statistic):
    x, _, v = points()
    w = (np.arange(len(x)) % 13).astype(np.int32)
    edges = [0.0, 5.0, 20.0, 21.0, 60.0, 99.0]
    want = scipy.stats.binned_statistic(x, [v, w], statistic, bins=edges)
    got = vs.binned_statistic(block(x, WORLD, "ramp"), [block(v, WORLD, "ramp"), block(w, WORLD, "ramp")],
                              statistic, bins=edges)
    assert close(got.statistic, want.statistic)
    assert np.array_equal(got.bin_edges, want.bin_edges)


def test_dd_range_none_reuse_of_a_result_and_unravelled_numbers():
    x, y, _ = points()
    sample = np.stack([x, y, x - y], axis=1)
    v = np.sin(np.arange(len(x)))
    want = scipy.stats.binned_statistic_dd(sample, v, "mean", bins=[3, 4, 5])
    mine = block(sample, WORLD, "last")
    got = vs.binned_statistic_dd(mine, block(v, WORLD, "last"), "mean", bins=[3, 4, 5])
    assert close(got.statistic, want.statistic)
    assert all(np.array_equal(a, b) for a, b in zip(got.bin_edges, want.bin_edges))
    again = vs.binned_statistic_dd(mine, -block(v, WORLD, "last"), "median", binned_statistic_result=got)
    assert close(again.statistic, scipy.stats.binned_statistic_dd(sample, -v, "median",
                                                                  binned_statistic_result=want).statistic)
    expanded = vs.binned_statistic_dd(mine, block(v, WORLD, "last"), "count", bins=[3, 4, 5], expand_binnumbers=True)
    assert expanded.binnumber.shape == (3, len(mine))


def test_points_on_the_last_edge_and_outside_the_range():
    x = np.array([0.0, 0.5, 1.0, 1.0 + 1e-12, 2.0, -1.0, np.nan])
    v = np.arange(7.0)
    want = scipy.stats.binned_statistic(x, v, "sum", bins=[0.0, 0.5, 1.0])
    got = vs.binned_statistic(block(x, WORLD, "even"), block(v, WORLD, "even"), "sum", bins=[0.0, 0.5, 1.0])
    assert np.array_equal(got.statistic, want.statistic)
    assert np.array_equal(got.binnumber, block(want.binnumber, WORLD, "even"))


def test_exact_sums_where_a_running_sum_loses_the_small_values():
    x = np.array([0.1, 0.2, 0.3, 0.4] * 50)
    v = np.array([1e17, 1.0, -1e17, 1.0] * 50)
    got = vs.binned_statistic(block(x, WORLD, "ramp"), block(v, WORLD, "ramp"), "sum", bins=1, range=(0, 1))
    assert got.statistic[0] == 100.0


def test_errors_of_one_rank_and_of_the_arguments_are_raised_on_every_rank():
    x, _, v = points(50)
    last = WORLD.rank == WORLD.size - 1
    short = v[:-1] if last else v
    with pytest.raises(AttributeError, match="number of `values` elements"):
        vs.binned_statistic(x, short, "mean")
    bad = np.where(np.arange(50) == 3, np.inf, x) if last else x
    with pytest.raises(ValueError, match="non-finite"):
        vs.binned_statistic(bad, v, "mean", bins=4)
    with pytest.raises(TypeError, match="callable statistic"):
        vs.binned_statistic(x, v, np.mean)
    with pytest.raises(ValueError, match="invalid statistic"):
        vs.binned_statistic(x, v, "mode")
    with pytest.raises(TypeError, match="complex"):
        vs.binned_statistic(x, v.astype(complex), "sum")
    # The module still answers after every rank raised.
    assert vs.binned_statistic(x, v, "count", bins=2).statistic.sum() == 50 * WORLD.size


@pytest.mark.parametrize("n", [1, 2, 3, 5, 8, 11])
def test_the_range_found_over_the_ranks_gives_scipys_edges_bit_for_bit(n):
    # Least and greatest coordinates that are signed zeros (of either sign,
    # first or last), negative, tiny, huge, in the last few values of a
    # column or among its first ones, from contiguous and strided columns.
    g = np.arange(n)
    columns = [
        np.where(g == n - 1, -0.0, g + 1.0),
        np.where(g == 0, 0.0, -(g + 1.0)),
        np.where(g % 2 == 0, -0.0, 0.0),
        -(g + 0.5) * 1e-300,
        np.where(g == n // 2, -1e308, g * 1e307),
        x_of(g) - 25.0,
    ]
    for x in columns:
        for y in (x[::-1].copy(), np.stack([x, x])[:, ::-1][0]):
            v = np.arange(n, dtype=np.float64)
            try:
                want = scipy.stats.binned_statistic_2d(x, y, v, "sum", bins=3)
            except ValueError:  # edges too close or too far apart (huge values)
                with pytest.raises(ValueError):
                    vs.binned_statistic_2d(x, y, v, "sum", bins=3, comm=MPI.COMM_SELF)
                continue
            got = vs.binned_statistic_2d(x, y, v, "sum", bins=3, comm=MPI.COMM_SELF)
            for a, b in ((got.x_edge, want.x_edge), (got.y_edge, want.y_edge)):
                assert np.array_equal(a, b) and np.array_equal(np.signbit(a), np.signbit(b)), (x, a, b)
            assert np.array_equal(got.statistic, want.statistic)
    # A NaN among the first values or the last: non-finite coordinates are
    # refused with integer bins, as SciPy refuses them (in its own words).
    for at in (0, n - 1):
        x = np.where(g == at, np.nan, g + 1.0)
        with pytest.raises(ValueError):
            scipy.stats.binned_statistic(x, x, "count", bins=2)
        with pytest.raises(ValueError, match="non-finite"):
            vs.binned_statistic(x, x, "count", bins=2, comm=MPI.COMM_SELF)
