"""Order statistics of numpy.longdouble data: median, quantile, percentile
and the nan* forms, by every method, against NumPy on the gathered array,
to the bit, with the same bits at every split of the rows. The data mix
values a double cannot hold (so that the bits past the double decide the
order), ties, both zeros, infinities and NaN."""
import warnings

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block

LD = np.longdouble
LAYOUTS = ["even", "first", "last", "ramp"]
EXTENDED = np.finfo(LD).nmant == 63 and np.dtype(LD).itemsize == 16
pytestmark = pytest.mark.skipif(not EXTENDED, reason="long double is not the 80-bit extended format here")

METHODS = ["inverted_cdf", "averaged_inverted_cdf", "closest_observation", "interpolated_inverted_cdf",
           "hazen", "weibull", "linear", "median_unbiased", "normal_unbiased", "lower", "higher",
           "midpoint", "nearest"]
Q = np.array([0.0, 0.1, 0.25, 0.5, 0.6180339887498949, 0.9, 1.0])


def bits(x):
    """The 80 bits of each long double (its padding left out); NaN as one
    pattern, and a zero as +0.0, as the module takes every zero (NumPy's
    sign of a zero follows its partition's order of equal values)."""
    a = np.array(x, dtype=LD, ndmin=1).reshape(-1)
    a = np.where(np.isnan(a), LD(np.nan), a) + LD(0)
    return a.view(np.uint8).reshape(-1, 16)[:, :10].tobytes()


def raw_bits(x):
    return np.ascontiguousarray(np.array(x, dtype=LD, ndmin=1)).view(np.uint8).tobytes()


def everywhere(name, x, *args, **kw):
    """The module's result for x split in every layout: the same bits in every
    layout and on every rank, with the padding bytes zero."""
    results = []
    for layout in LAYOUTS:
        got = getattr(vs, name)(block(x, WORLD, layout), *args, comm=WORLD, **kw)
        raw = raw_bits(got)
        assert all(r == raw for r in WORLD.allgather(raw)), (name, layout)
        results.append(got)
    for r in results[1:]:
        assert raw_bits(r) == raw_bits(results[0]), name
    return results[0]


def tied_data():
    """Values whose doubles tie in groups while the long doubles differ
    (1 + k 2^-60 round to 1 or 1 + 2^-52), shuffled, with exact doubles,
    both zeros and integers among them."""
    rng = np.random.default_rng(7)
    eps = LD(2) ** -60
    x = np.concatenate([LD(1) + eps * np.arange(-40, 40, 3, dtype=LD),
                        LD(3) - eps * np.arange(12, dtype=LD),
                        np.array([0.0, -0.0, -0.0, 2.5, 2.5, -7, 1e300, -1e-300], dtype=LD),
                        LD(1) / np.arange(1, 20, dtype=LD)])
    return x[rng.permutation(len(x))]


def check(name, x, *args, **kw):
    got = everywhere(name, x, *args, **kw)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = getattr(np, name)(x, *args, **kw)
    assert np.asarray(got).dtype == LD and np.shape(got) == np.shape(want)
    assert bits(got) == bits(want), (name, args, kw, got, want)


@pytest.mark.parametrize("method", METHODS)
def test_every_method_exact(method):
    x = tied_data()
    check("quantile", x, Q, method=method)
    check("percentile", x, 100 * Q[3], method=method)
    check("nanquantile", np.append(x, [np.nan, np.nan]), Q, method=method)


def test_median_odd_even_and_ties():
    x = tied_data()
    for n in (len(x), len(x) - 1, 1, 2):
        check("median", x[:n])
        check("nanmedian", np.append(x[:n], np.nan))
    # Two middle values of one double, told apart by their low bits.
    eps = LD(2) ** -62
    check("median", np.array([1 + 3 * eps, 1 + eps, 1 + 2 * eps, 1], dtype=LD))


def test_infinities_nan_and_zeros():
    inf = np.inf
    x = np.array([1, -inf, inf, 0.0, -0.0, LD(1) + LD(2) ** -63], dtype=LD)
    for method in ("linear", "lower", "higher", "nearest", "midpoint"):
        check("quantile", x, Q, method=method)
    check("median", np.array([-inf, inf], dtype=LD))
    check("median", np.array([-0.0, -0.0, 1], dtype=LD))
    check("quantile", np.array([inf, inf, 1], dtype=LD), 0.75)
    check("quantile", np.append(x, np.nan), Q)  # NaN propagates
    check("median", np.append(x, np.nan))
    check("nanpercentile", np.append(x, np.nan), [10, 90])


def test_axes_keepdims_and_out():
    x = tied_data()[:60].reshape(20, 3)
    check("quantile", x, Q, axis=0)
    check("nanmedian", x, axis=0, keepdims=True)
    check("percentile", x, [5, 50], axis=None, keepdims=True)
    out = np.empty(3, dtype=LD)
    got = vs.median(block(x, WORLD, "ramp"), axis=0, out=out, comm=WORLD)
    assert got is out and bits(out) == bits(np.median(x, axis=0))
    # Each rank's own rows along axis 1.
    mine = block(x, WORLD, "even")
    assert bits(vs.quantile(mine, 0.3, axis=1, comm=WORLD)) == bits(np.quantile(mine, 0.3, axis=1))


def test_all_nan_and_empty_slices():
    x = np.full((4, 2), np.nan, dtype=LD)
    x[1, 1] = LD(1) + LD(2) ** -63
    with pytest.warns(RuntimeWarning, match="All-NaN slice"):
        got = vs.nanmedian(block(x, WORLD, "last"), axis=0, comm=WORLD)
    assert got.dtype == LD and np.isnan(got[0]) and got[1] == x[1, 1]
    with pytest.raises(IndexError):
        vs.quantile(np.empty(0, dtype=LD), 0.5, comm=WORLD)


def test_outside_float64_range_refused_everywhere():
    x = np.array([1, 2, 3, LD("1e4000")], dtype=LD)
    for name in ("median", "nanquantile"):
        args = () if name == "median" else (0.5,)
        with pytest.raises(OverflowError, match="outside float64's range"):
            getattr(vs, name)(block(x, WORLD, "last"), *args, comm=WORLD)
    # Below the least subnormal double, only on the last rank's rows.
    tiny = np.array([1, LD(2) ** -1080], dtype=LD)
    with pytest.raises(OverflowError):
        vs.quantile(block(tiny, WORLD, "last"), 0.5, comm=WORLD)
    assert WORLD.allreduce(1) == WORLD.size
