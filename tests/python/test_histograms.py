"""histogram, histogram_bin_edges, histogram2d and histogramdd against NumPy
on the gathered data: edges, every-edge values, NaN and infinities, dtypes,
weights (exact totals, the same bits at any split), density, NumPy's errors
on every rank, and rows split unevenly (empty ranks included)."""
import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere, w_of, x_of

SPLITS = ["even", "first", "last", "ramp"]


def equal(got, want):
    got, want = np.asarray(got), np.asarray(want)
    return got.dtype == want.dtype and got.shape == want.shape and np.array_equal(got, want, equal_nan=True)


def values(n=1001):
    """Values on every edge of 10 bins over [0, 100], beside them, outside."""
    x = x_of(np.arange(n))
    x[:11] = np.linspace(0, 100, 11)
    x[11:22] = np.nextafter(np.linspace(0, 100, 11), -np.inf)
    x[22:26] = [-np.inf, np.inf, -1.0, 100.5]
    return x


@pytest.mark.parametrize("how", SPLITS)
@pytest.mark.parametrize("dtype", ["f8", "f4", "i8", "u2"])
def test_histogram_counts_and_edges_as_numpy(how, dtype):
    x = values()
    if np.dtype(dtype).kind != "f":
        x = np.abs(x[np.isfinite(x)]) * 7
    x = x.astype(dtype)
    for bins, range_ in [(10, (0, 100)), (7, None), ([0, 1, 1, 50, 60.5, 100], None), (3, (-0.5, 0.25))]:
        if range_ is None and np.dtype(dtype).kind == "f":
            x = x[np.isfinite(x)]  # NumPy's autodetected range must be finite
        mine = block(x, WORLD, how)
        counts, edges = vs.histogram(mine, bins, range_, comm=WORLD)
        want_counts, want_edges = np.histogram(x, bins, range_)
        assert equal(counts, want_counts), (bins, range_)
        assert equal(edges, want_edges), (bins, range_)
        assert equal(vs.histogram_bin_edges(mine, bins, range_, comm=WORLD), want_edges)


@pytest.mark.parametrize("how", SPLITS)
def test_weights_are_exact_and_the_same_bits_at_any_split(how):
    n = 2000
    x = x_of(np.arange(n))
    w = np.ldexp(w_of(np.arange(n)) * 0.1, np.arange(n) % 90 - 45) * np.where(np.arange(n) % 3, 1, -1)
    counts, edges = vs.histogram(block(x, WORLD, how), 8, (0, 100), weights=block(w, WORLD, how), comm=WORLD)
    assert same_everywhere(counts)
    alone, _ = vs.histogram(x, 8, (0, 100), weights=w, comm=WORLD.Split(WORLD.rank, 0))
    assert counts.tobytes() == alone.tobytes()
    # The exact totals against fractions.
    from fractions import Fraction
    k = np.minimum((x / 12.5).astype(int), 7)
    for b in range(8):
        exact = sum((Fraction(float(v)) for v in w[k == b]), Fraction(0))
        assert counts[b] == float(exact)
    # numpy's dtype and density rules.
    want = np.histogram(x, 8, (0, 100), weights=w.astype("f4"))[0]
    got = vs.histogram(block(x, WORLD, how), 8, (0, 100), weights=block(w, WORLD, how).astype("f4"), comm=WORLD)[0]
    assert got.dtype == want.dtype == np.float32
    d, _ = vs.histogram(block(x, WORLD, how), [0, 10, 50, 100], density=True, comm=WORLD)
    assert np.allclose(d, np.histogram(x, [0, 10, 50, 100], density=True)[0], rtol=1e-15)


@pytest.mark.parametrize("how", SPLITS)
def test_histogramdd_and_histogram2d_as_numpy(how):
    n = 1500
    g = np.arange(n)
    pts = np.stack([x_of(g), x_of(g + 7) - 50, np.floor(x_of(3 * g) / 10)], axis=1)
    pts[:12, 0] = np.linspace(0, 100, 12)
    pts[5, 1] = np.nan
    pts[6, 2] = np.inf
    w = w_of(g) * 0.3
    mine, mw = block(pts, WORLD, how), block(w, WORLD, how)
    for bins, range_ in [(5, None), ((4, [-50, 0, 10, 50], 3), [(0, 100), None, (0, 9)])]:
        if bins == 5:  # NaN and inf in columns 1 and 2: NumPy's range error for the whole sample
            with pytest.raises(ValueError, match="autodetected range of"):
                vs.histogramdd(mine, bins, comm=WORLD)
            continue
        h, edges = vs.histogramdd(mine, bins, range_, weights=mw, comm=WORLD)
        wh, wedges = np.histogramdd(pts, bins, range_, weights=w)
        assert np.array_equal(h, wh) or np.allclose(h, wh, rtol=1e-15, atol=0)
        assert all(equal(a, b) for a, b in zip(edges, wedges))
        hc, _ = vs.histogramdd([c for c in mine.T], bins, range_, comm=WORLD)
        assert equal(hc, np.histogramdd(pts, bins, range_)[0])
    h2, xe, ye = vs.histogram2d(mine[:, 0], np.nan_to_num(mine[:, 2]), [6, 4], density=True, comm=WORLD)
    w2, wxe, wye = np.histogram2d(pts[:, 0], np.nan_to_num(pts[:, 2]), [6, 4], density=True)
    assert np.allclose(h2, w2, rtol=1e-14) and equal(xe, wxe) and equal(ye, wye)


def test_numpy_errors_on_every_rank():
    x = block(values(), WORLD, "first")
    for call, error, match in [
            (lambda: vs.histogram(x, -1, comm=WORLD), ValueError, "must be positive"),
            (lambda: vs.histogram(x, [3, 2, 1], comm=WORLD), ValueError, "monotonically"),
            (lambda: vs.histogram(x, 5, (2, 1), comm=WORLD), ValueError, "max must be larger than min"),
            (lambda: vs.histogram(x, 5, comm=WORLD), ValueError, "autodetected range of"),  # infinities
            (lambda: vs.histogram(x, 5, (0, 1), weights=x[:1] if x.size else np.ones(1), comm=WORLD),
             ValueError, "same shape"),
            (lambda: vs.histogramdd(np.ones((4, 2)), [2, 3, 4], comm=WORLD), ValueError, "dimension of bins"),
    ]:
        with pytest.raises(error, match=match):
            call()
    empty = vs.histogram(np.empty(0), comm=WORLD)
    assert equal(empty[0], np.zeros(10, np.int64)) and equal(empty[1], np.linspace(0, 1, 11))


def test_ranks_with_other_dimensions_raise_everywhere():
    if WORLD.size == 1:
        return
    sample = np.ones((4, 2 if WORLD.rank == 0 else 3))
    with pytest.raises(ValueError, match="different numbers of dimensions"):
        vs.histogramdd(sample, 2, [(0, 2)] * sample.shape[1], comm=WORLD)
    # A weight count that does not match on one rank only: every rank raises.
    w = np.ones(4 if WORLD.rank else 3)
    with pytest.raises(ValueError):
        vs.histogramdd(np.ones((4, 2)), 2, [(0, 2), (0, 2)], weights=w, comm=WORLD)


ESTIMATORS = ["auto", "fd", "doane", "scott", "stone", "rice", "sturges", "sqrt"]


@pytest.mark.parametrize("how", SPLITS)
@pytest.mark.parametrize("dtype", ["f8", "i8"])
def test_bin_width_estimators_give_numpy_edges(how, dtype):
    """Every estimator, with and without a range (values outside it left
    out of the estimate), on skewed data with ties, split any way: NumPy's
    edges exactly, and the counts over them."""
    g = np.arange(3000)
    x = x_of(g) ** 2 / 40 - 30
    x[::7] = 12.0  # ties: quartiles between equal values
    x = x.astype(dtype)
    mine = block(x, WORLD, how)
    for name in ESTIMATORS:
        for range_ in [None, (-10, 90.5), (12, 12)]:
            want_counts, want_edges = np.histogram(x, name, range_)
            counts, edges = vs.histogram(mine, name, range_, comm=WORLD)
            assert equal(edges, want_edges), (name, range_)
            assert equal(counts, want_counts), (name, range_)
            assert equal(vs.histogram_bin_edges(mine, name, range_, comm=WORLD), want_edges), (name, range_)


def test_estimators_on_degenerate_values():
    """No values in the range, one value, all values equal: NumPy's single
    bin; NaN without a range: NumPy's error on every rank."""
    for x, range_ in [(np.arange(10.0), (20, 30)), (np.array([3.0]), None), (np.full(50, 2.5), None)]:
        mine = block(x, WORLD, "first")
        for name in ESTIMATORS:
            assert equal(vs.histogram(mine, name, range_, comm=WORLD)[1], np.histogram(x, name, range_)[1])
    nan = block(np.array([1.0, np.nan, 2.0, 3.0]), WORLD, "last")
    with pytest.raises(ValueError, match="autodetected range of"):
        vs.histogram(nan, "auto", comm=WORLD)


def test_results_own_their_bins():
    """The results hold the engine's buffers: each call's arrays are its own,
    writable, and outlive the call and the next ones."""
    x = block(x_of(np.arange(500)), WORLD, "ramp")
    first, _ = vs.histogramdd([x, x], 4, [(0, 100), (0, 100)], comm=WORLD)
    keep = first.copy()
    second, _ = vs.histogramdd([x, x], 4, [(0, 100), (0, 100)], weights=x, comm=WORLD)
    counts, _ = vs.histogram(x, 4, (0, 100), comm=WORLD)
    del second, counts
    import gc
    gc.collect()
    assert first.dtype == np.float64 and first.flags.writeable and first.tobytes() == keep.tobytes()
    first[0, 0] = -1.0
    again, _ = vs.histogramdd([x, x], 4, [(0, 100), (0, 100)], comm=WORLD)
    assert again.tobytes() == keep.tobytes()
