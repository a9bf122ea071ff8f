"""numpy.longdouble data (the 80-bit extended format): sums, means, variances
from exact totals rounded once to long double (checked against exact
rational arithmetic, ties and the bits beyond a double's included), extremes
compared in long double, results in long double and the same bits at any
split of the rows, values outside float64's range refused alike everywhere."""
import warnings
from fractions import Fraction

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block

LD = np.longdouble
LAYOUTS = ["even", "first", "last", "ramp"]
EXTENDED = np.finfo(LD).nmant == 63 and np.dtype(LD).itemsize == 16
pytestmark = pytest.mark.skipif(not EXTENDED, reason="long double is not the 80-bit extended format here")


def ld(*values):
    return np.array([LD(v) if not isinstance(v, LD) else v for v in values], dtype=LD)


def two(k):
    return LD(2) ** k


def nearest(f):
    """The long double nearest the rational f, ties to even (the reference rounding)."""
    if f == 0:
        return LD(0)
    c = LD(f.numerator) / LD(f.denominator)
    best = None
    for cand in (np.nextafter(np.nextafter(c, -np.inf), -np.inf), np.nextafter(c, -np.inf), c,
                 np.nextafter(c, np.inf), np.nextafter(np.nextafter(c, np.inf), np.inf)):
        d = abs(Fraction(*cand.as_integer_ratio()) - f)
        significand = Fraction(*np.frexp(cand)[0].as_integer_ratio()) * 2**64
        even = int(significand) % 2 == 0
        if best is None or d < best[0] or (d == best[0] and even):
            best = (d, cand)
    return best[1]


def exact(x):
    return sum((Fraction(*v.as_integer_ratio()) for v in x.ravel()), Fraction(0))


def bits(x):
    """The 80 bits of each long double (its 6 bytes of padding left out)."""
    a = np.ascontiguousarray(x)
    if a.dtype != LD:
        return a.tobytes()
    return a.reshape(-1).view(np.uint8).reshape(-1, 16)[:, :10].tobytes()


def same_everywhere(value):
    mine = bits(value)
    return all(v == mine for v in WORLD.allgather(mine))


def everywhere(name, x, **kw):
    """The module's result for x split in every layout: the same bits in all of them."""
    results = []
    for layout in LAYOUTS:
        got = getattr(vs, name)(block(x, WORLD, layout), comm=WORLD, **kw)
        assert same_everywhere(got)
        results.append(got)
    for r in results[1:]:
        assert bits(r) == bits(results[0]), name
    return results[0]


# The sums of these round at or next to a long double tie: hi alone, or hi
# plus a lo rounded to a double, would round the wrong way.
TIES = [
    (ld(1, two(-64), two(-100)), 1 + two(-63)),         # past the tie by bits lo holds
    (ld(1, two(-64), two(-200)), 1 + two(-63)),         # past the tie by bits beyond lo
    (ld(1, two(-64), -two(-200)), LD(1)),               # short of the tie by bits beyond lo
    (ld(1 + two(-63), two(-64)), 1 + two(-62)),         # a tie, to even upwards
    (ld(1, two(-64)), LD(1)),                           # a tie, to even downwards
    (ld(two(60), 1 + two(-60), -two(60)), 1 + two(-60)),  # cancellation keeps the low bits
    (ld(-1, -two(-64), -two(-200)), -(1 + two(-63))),
]


@pytest.mark.parametrize("x, want", TIES)
def test_sums_round_once_at_ties(x, want):
    assert nearest(exact(x)) == want
    got = everywhere("sum", x)
    assert type(got) is LD and got == want, (got, want)
    assert everywhere("nansum", np.append(x, LD(np.nan))) == want


def test_sum_mean_var_std_are_the_exact_ones_rounded():
    rng = np.random.default_rng(5)
    x = (LD(1) + rng.integers(0, 2**62, size=40).astype(LD) * two(-62)) * rng.choice([-3, 1, 7], size=40)
    x[::5] *= LD(2) ** 40
    total = exact(x)
    assert everywhere("sum", x) == nearest(total)
    n = x.size
    mean = everywhere("mean", x)
    assert mean == nearest(total) / LD(n)
    assert np.asarray(mean).dtype == LD
    deviations = x - mean
    squares = sum((Fraction(*d.as_integer_ratio()) ** 2 for d in deviations), Fraction(0))
    for ddof in (0, 1):
        var = everywhere("var", x, ddof=ddof)
        assert var == nearest(squares) / LD(n - ddof)
        assert everywhere("std", x, ddof=ddof) == np.sqrt(nearest(squares) / LD(n - ddof))
        np.testing.assert_allclose(var, np.var(x, ddof=ddof), rtol=1e-15)


def test_axes_keepdims_and_out_as_numpy():
    rng = np.random.default_rng(7)
    x = (rng.standard_normal((9, 4, 3)) * 8).astype(LD) + two(-62)
    for name in ("sum", "mean", "var", "std", "min", "max", "ptp", "argmin", "argmax"):
        axes = [None, 0, 1, -1] + ([(0, 2), (1, 2)] if not name.startswith("arg") else [])
        for axis in axes:
            reduces = axis is None or (0 in axis if isinstance(axis, tuple) else axis % 3 == 0)
            mine = block(x, WORLD, "ramp")
            got = getattr(vs, name)(mine, axis=axis, comm=WORLD)
            want = getattr(np, name)(x if reduces else mine, axis=axis)
            assert np.asarray(got).dtype == np.asarray(want).dtype and np.shape(got) == np.shape(want)
            np.testing.assert_allclose(np.asarray(got, dtype=LD), np.asarray(want, dtype=LD), rtol=1e-17)
    got = vs.sum(block(x, WORLD, "even"), axis=0, keepdims=True, comm=WORLD)
    assert got.shape == (1, 4, 3) and got.dtype == LD
    out = np.zeros((4, 3), LD)
    assert vs.max(block(x, WORLD, "last"), axis=0, out=out, comm=WORLD) is out
    assert np.array_equal(out, x.max(axis=0))


def test_extremes_compare_in_long_double():
    # 1 and 1 + 2^-63 are one double: the extremes and their positions need the low bits.
    x = ld(1 + two(-63), 1, -0.0, 0.0, 1 + two(-62), 1 + two(-62), -(1 + two(-63)), -1)
    assert everywhere("max", x) == 1 + two(-62) and everywhere("argmax", x) == 4
    assert everywhere("min", x) == -(1 + two(-63)) and everywhere("argmin", x) == 6
    assert everywhere("ptp", x) == (1 + two(-62)) - (-(1 + two(-63)))
    zeros = ld(0.0, -0.0, 0.0)
    assert np.signbit(everywhere("min", zeros)) and not np.signbit(everywhere("max", zeros[::-1]))
    assert everywhere("argmin", zeros) == 0


def test_nan_and_infinity_as_numpy():
    x = ld(3, np.inf, np.nan, -np.inf, np.nan, 2)
    for name in ("min", "max", "ptp", "sum", "mean", "var"):
        assert np.isnan(everywhere(name, x)), name
    assert everywhere("argmin", x) == 2 and everywhere("argmax", x) == 2
    assert everywhere("nanmin", x) == -np.inf and everywhere("nanargmax", x) == 1
    assert everywhere("nansum", ld(1, np.inf, np.nan)) == np.inf
    assert np.isnan(everywhere("nansum", ld(np.inf, -np.inf)))
    assert everywhere("nanmean", ld(1, np.nan, 2)) == LD(1.5)
    nans = ld(np.nan, np.nan)
    with pytest.warns(RuntimeWarning, match="All-NaN slice encountered"):
        assert np.isnan(vs.nanmax(block(nans, WORLD, "ramp"), comm=WORLD))
    with pytest.raises(ValueError, match="All-NaN slice encountered"):
        vs.nanargmin(block(nans, WORLD, "last"), comm=WORLD)
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        assert np.isnan(vs.nanmean(block(nans, WORLD, "even"), comm=WORLD))
    assert everywhere("nansum", nans) == 0
    with pytest.raises(ValueError, match="zero-size array"):
        vs.max(block(ld(), WORLD, "even"), comm=WORLD)
    assert np.signbit(everywhere("sum", ld(-0.0, -0.0)))
    assert not np.signbit(everywhere("sum", ld(-0.0, 0.0)))


@pytest.mark.parametrize("bad", [LD("1e400"), LD("-1e4000"), LD("1e-4000"), two(-1074) * (1 + two(-63))])
def test_values_outside_float64_refused_on_every_rank(bad):
    x = ld(1, 2, 3, 4)
    x[-1] = bad
    for name in ("sum", "mean", "var", "nanstd"):
        with pytest.raises(OverflowError, match="outside float64's range"):
            getattr(vs, name)(block(x, WORLD, "last"), comm=WORLD)
    # Extremes compare and need no total.
    assert everywhere("max", x) == np.max(x) and everywhere("min", x) == np.min(x)
    assert WORLD.allreduce(1) == WORLD.size


def test_where_and_initial():
    x = ld(5, 1 + two(-63), 7, np.nan, 2)
    where = np.array([True, True, False, False, True])
    mine, w = block(x, WORLD, "ramp"), block(where, WORLD, "ramp")
    assert vs.sum(mine, where=w, comm=WORLD) == nearest(exact(x[where]))
    assert vs.mean(mine, where=w, comm=WORLD) == nearest(exact(x[where])) / LD(3)
    assert vs.max(mine, where=w, initial=LD(3), comm=WORLD) == LD(5)
    assert vs.min(mine, where=w, initial=LD(3), comm=WORLD) == 1 + two(-63)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert vs.sum(mine, initial=LD(1) / 3, where=w, comm=WORLD) == nearest(exact(x[where]) + Fraction(*(LD(1) / 3).as_integer_ratio()))
