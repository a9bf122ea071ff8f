"""polyfit against numpy.polyfit: data far from zero, ordinary data with and
without weights, the systems NumPy calls rank-deficient (RankWarning on every
rank alike), non-finite data, and the same bits at any number of ranks."""
import math
import warnings

import numpy as np
import pytest
from mpi4py import MPI

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere, w_of, x_of

try:
    from numpy.exceptions import RankWarning
except ImportError:  # NumPy before 1.25
    RankWarning = np.RankWarning


def fitted(xs, ys, order, ws=None, how="ramp", comm=WORLD):
    """vs.polyfit of the data spread over comm as `how`, and the warnings it
    gave on this rank."""
    with vs.from_local(block(xs, comm, how), comm) as x, vs.from_local(block(ys, comm, how), comm) as y, \
            warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if ws is None:
            p = vs.polyfit(x, y, order)
        else:
            with vs.from_local(block(ws, comm, how), comm) as w:
                p = vs.polyfit(x, y, order, weights=w)
    return p, [(c.category, str(c.message)) for c in caught]


def numpy_fit(xs, ys, order, ws=None):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p = np.polyfit(xs, ys, order, w=None if ws is None else np.sqrt(ws))
    return p, any(issubclass(c.category, RankWarning) for c in caught)


def residual(p, xs, ys):
    return np.max(np.abs(np.polyval(p, xs) - ys))


OFFSET_X = np.linspace(1000.0, 1010.0, 100)


@pytest.mark.parametrize("order", [2, 3])
def test_data_far_from_zero_fit_as_well_as_numpy(order):
    """The quadratic x^2 - 3x + 1 sampled on [1000, 1010]: in raw x the
    normal equations lose every digit (coefficients [1, -2.984, -2], a
    residual of 8.9 at order 2 and 6.4e5 at order 3)."""
    ys = OFFSET_X * OFFSET_X - 3.0 * OFFSET_X + 1.0
    p, caught = fitted(OFFSET_X, ys, order)
    reference, numpy_warned = numpy_fit(OFFSET_X, ys, order)
    assert caught == [] and not numpy_warned
    assert residual(p, OFFSET_X, ys) <= 4 * residual(reference, OFFSET_X, ys) + 1e-12
    assert p[-3:] == pytest.approx([1.0, -3.0, 1.0], rel=1e-4, abs=0.05)  # NumPy: 1.0000035, 1.01
    assert same_everywhere(p)


@pytest.mark.parametrize("weighted", [False, True])
def test_ordinary_data_against_numpy(weighted):
    g = np.arange(500)
    xs = x_of(g) - 20.0
    ys = np.sin(xs / 15.0) + 0.01 * np.cos(g)
    ws = w_of(g).astype(np.float64) if weighted else None
    for order in range(7):
        p, caught = fitted(xs, ys, order, ws)
        reference, _ = numpy_fit(xs, ys, order, ws)
        assert caught == []
        assert residual(p, xs, ys) <= 1.5 * residual(reference, xs, ys) + 1e-12, order
        assert p == pytest.approx(reference, rel=1e-6, abs=1e-12), order


def rank_warnings(caught):
    return [m for c, m in caught if issubclass(c, RankWarning)]


@pytest.mark.parametrize("xs, ys, order", [
    (np.array([1.0, 2.0, 3.0]), np.array([3.0, 5.0, 7.0]), 3),   # more coefficients than points
    (np.array([1.0, 2.0, 3.0]), np.array([3.0, 5.0, 7.0]), 5),
    (np.full(10, 5.0), np.arange(10.0), 1),                        # x constant
    (np.repeat([2.0, 4.0], 6), np.arange(12.0), 2),               # two distinct x for three coefficients
])
def test_rank_deficient_systems_warn_as_numpy_does(xs, ys, order):
    p, caught = fitted(xs, ys, order)
    _, numpy_warned = numpy_fit(xs, ys, order)
    assert numpy_warned
    assert len(rank_warnings(caught)) == 1
    assert same_everywhere("".join(rank_warnings(caught)).encode())
    # The least-squares solution with the fewest coefficients: finite, and
    # as close to the data as NumPy's.
    assert np.all(np.isfinite(p)) and len(p) == order + 1
    reference, _ = numpy_fit(xs, ys, order)
    assert residual(p, xs, ys) <= residual(reference, xs, ys) + 1e-9


def test_constant_x_gives_the_mean_as_constant_term():
    p, caught = fitted(np.full(10, 5.0), np.arange(10.0), 1)
    assert rank_warnings(caught)
    assert p[0] == 0.0 and p[1] == pytest.approx(4.5, rel=1e-15)


def test_a_rank_warning_made_an_error_is_raised_everywhere():
    with vs.full(10, 5.0) as x, vs.from_local(block(np.arange(10.0), WORLD, "even")) as y, \
            warnings.catch_warnings():
        warnings.simplefilter("error", RankWarning)
        with pytest.raises(RankWarning, match="poorly conditioned"):
            vs.polyfit(x, y, 1)
        assert vs.mean(y) == 4.5  # every rank is still in step


def test_non_finite_data_give_nan_with_a_warning():
    xs = np.arange(12.0)
    ys = 2.0 * xs
    ys[7] = np.nan
    p, caught = fitted(xs, ys, 1)
    assert np.all(np.isnan(p))
    assert [c for c, _ in caught] == [RuntimeWarning]
    xs[3] = np.inf
    p, caught = fitted(xs, 2.0 * np.arange(12.0), 2)
    assert np.all(np.isnan(p)) and [c for c, _ in caught] == [RuntimeWarning]


def test_an_empty_array_is_refused_as_numpy_refuses_it():
    with vs.zeros(0) as x:
        with pytest.raises(TypeError, match="non-empty"):
            vs.polyfit(x, x, 1)


def test_the_same_bits_on_every_number_of_ranks_and_distribution():
    """Exact totals: the offset data and ordinary data, weighted, give the
    same coefficients over the first k ranks, k = 1 .. N, in any layout."""
    g = np.arange(300)
    cases = [(OFFSET_X, OFFSET_X ** 2 - 3.0 * OFFSET_X + 1.0, None, 3),
             (x_of(g), np.cos(x_of(g) / 9.0), w_of(g).astype(np.float64), 4)]
    results = {}
    for k in range(1, WORLD.size + 1):
        sub = WORLD.Split(0 if WORLD.rank < k else MPI.UNDEFINED, WORLD.rank)
        mine = None
        if sub != MPI.COMM_NULL:
            mine = [fitted(xs, ys, order, ws, "last", sub)[0].tobytes() for xs, ys, ws, order in cases]
            sub.Free()
        results[k] = WORLD.bcast(mine, root=0)
    for how in ["even", "first", "ramp"]:
        results[how] = [fitted(xs, ys, order, ws, how)[0].tobytes() for xs, ys, ws, order in cases]
    assert all(r == results[1] for r in results.values())
    assert same_everywhere(b"".join(results[1]))
    assert not any(math.isnan(v) for v in np.frombuffer(b"".join(results[1])))


def test_numpy_values_with_comm_fit_as_arrays():
    """NumPy arrays of this rank's points, any strides (a transposed block),
    and the same fit from Arrays of the same points: the same bits."""
    xs = x_of(np.arange(2000)) * 0.01 + 1000.0
    ys = 3.0 * xs**2 - 2.0 * xs + 0.5
    ws = w_of(np.arange(2000)).astype(np.float32)
    mine = [block(v, WORLD, "last") for v in (xs, ys, ws)]
    from_arrays, _ = fitted(xs, ys, 2, ws)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        from_numpy = vs.polyfit(mine[0], mine[1], 2, weights=mine[2], comm=WORLD)
        twisted = vs.polyfit(mine[0].reshape(-1, 1).T, np.asfortranarray(mine[1].reshape(-1, 1)).T, 2,
                             weights=mine[2][None, :])
    assert np.array_equal(from_numpy, from_arrays) and np.array_equal(twisted, from_arrays)
    assert same_everywhere(from_numpy)
    with pytest.raises(ValueError, match="y must have the shape of x"):
        vs.polyfit(mine[0], np.ones(len(mine[0]) + 1), 1)
    with pytest.raises(TypeError, match="must all be Arrays or all NumPy"):
        with vs.zeros(4) as a:
            vs.polyfit(a, np.zeros(4), 1)
    with pytest.raises(TypeError, match="expected non-empty vector for x"):
        vs.polyfit(np.zeros(0), np.zeros(0), 1)
