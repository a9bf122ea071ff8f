"""median, quantile, percentile and their NaN forms against NumPy on the
gathered array: every method, axes, probability arrays, dtypes, NaN, ties,
both zeros and infinities, rows split unevenly (empty ranks included);
the same bits at any rank count; weighted quantiles against repeated values."""
import warnings

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere, x_of

METHODS = ["inverted_cdf", "averaged_inverted_cdf", "closest_observation", "interpolated_inverted_cdf", "hazen",
           "weibull", "linear", "median_unbiased", "normal_unbiased", "lower", "higher", "midpoint", "nearest"]
Q = [0.0, 0.01, 0.25, 0.5, 0.7, 0.999, 1.0]
SPLITS = ["even", "first", "last", "ramp"]


def table(dtype, rows=203, columns=5):
    """Values with ties, both zeros, and for floats infinities in column 3."""
    g = np.arange(rows * columns).reshape(rows, columns)
    x = np.floor(x_of(g) / 4.0) - 10.0
    if np.dtype(dtype).kind == "f":
        x[g % 17 == 3] = -0.0
        x[:, 3][::50] = np.inf
        x[:, 3][1::50] = -np.inf
    return x.astype(dtype)


def equal(got, want):
    """The same dtype, shape and values (NaN where NumPy has NaN)."""
    got, want = np.asarray(got), np.asarray(want)
    return got.dtype == want.dtype and got.shape == want.shape and np.array_equal(got, want, equal_nan=True)


def agree(call, numpy_call):
    """NumPy's warnings of a call and its value (warnings compared as text)."""
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        got = call()
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        want = numpy_call()
    texts = lambda caught: sorted({str(w.message) for w in caught if "invalid value" not in str(w.message)})
    assert texts(ours) == texts(theirs)
    return got, want


@pytest.mark.parametrize("how", SPLITS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32, np.uint8, np.int64])
def test_every_method_along_the_distributed_axis_and_all_axes(dtype, how):
    x = table(dtype)
    mine = block(x, WORLD, how)
    for method in METHODS:
        for axis in (None, 0, (0, 1), -2):
            got, want = agree(lambda: vs.quantile(mine, Q, axis=axis, method=method),
                              lambda: np.quantile(x, Q, axis=axis, method=method))
            assert equal(got, want), (method, axis)
            assert same_everywhere(got)
        scalar, want = agree(lambda: vs.quantile(mine, 0.3, method=method), lambda: np.quantile(x, 0.3, method=method))
        assert type(scalar) is type(want) and equal(scalar, want), method
    assert equal(vs.median(mine), np.median(x)) and type(vs.median(mine)) is type(np.median(x))
    assert equal(vs.median(mine, axis=0), np.median(x, axis=0))


def test_probability_arrays_percent_keepdims_and_out():
    x = table(np.float64, rows=60, columns=6).reshape(60, 2, 3)
    mine = block(x, WORLD, "ramp")
    q = np.array([[0.1, 0.9], [0.5, 0.0]])
    for keepdims in (False, True):
        for axis in (None, 0, (0, 2), (2, 0), -3):
            assert equal(vs.quantile(mine, q, axis=axis, keepdims=keepdims),
                         np.quantile(x, q, axis=axis, keepdims=keepdims)), (axis, keepdims)
            assert equal(vs.percentile(mine, 100 * q, axis=axis, keepdims=keepdims, method="hazen"),
                         np.percentile(x, 100 * q, axis=axis, keepdims=keepdims, method="hazen"))
            assert equal(vs.median(mine, axis=axis, keepdims=keepdims), np.median(x, axis=axis, keepdims=keepdims))
    out = np.empty((2, 2, 2, 3))
    assert vs.quantile(mine, q, axis=0, out=out, overwrite_input=True) is out
    assert equal(out, np.quantile(x, q, axis=0))
    # Integer probabilities keep the data's type where NumPy does.
    ints = np.arange(10, dtype=np.int16)
    assert equal(vs.quantile(block(ints, WORLD, "even"), 1), np.quantile(ints, 1))
    assert equal(vs.quantile(block(ints, WORLD, "even"), [0, 1], method="midpoint"),
                 np.quantile(ints, [0, 1], method="midpoint"))


def test_axes_without_the_distributed_one_are_each_ranks_own_rows():
    x = table(np.float64, rows=40, columns=6).reshape(40, 2, 3)
    x[3, 1, :] = np.nan
    mine = block(x, WORLD, "ramp")
    for axis in (1, 2, (1, 2), -1):
        assert equal(vs.quantile(mine, [0.2, 0.6], axis=axis, method="weibull"),
                     np.quantile(mine, [0.2, 0.6], axis=axis, method="weibull"))
        # The warnings are the whole array's (on every rank alike), the
        # values this rank's rows'.
        got, _ = agree(lambda: vs.nanmedian(mine, axis=axis), lambda: np.nanmedian(x, axis=axis))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            assert equal(got, np.nanmedian(mine, axis=axis))
    with vs.from_local(mine) as a:
        with vs.quantile(a, 0.5, axis=2) as b:
            assert b.shape == (40, 2) and equal(b.local, np.quantile(a.local, 0.5, axis=2))
        with pytest.raises(ValueError, match="one probability"):
            vs.quantile(a, [0.5], axis=1)
        assert equal(vs.quantile(a, [0.5, 0.75], axis=0), np.quantile(x, [0.5, 0.75], axis=0))


@pytest.mark.parametrize("how", SPLITS)
def test_nan_forms_and_their_warnings(how):
    x = table(np.float64, rows=50, columns=4)
    x[7, 0] = np.nan
    x[:, 1] = np.nan
    x[::3, 2] = np.nan
    mine = block(x, WORLD, how)
    for method in ("linear", "lower", "nearest", "interpolated_inverted_cdf"):
        got, want = agree(lambda: vs.nanquantile(mine, Q, axis=0, method=method),
                          lambda: np.nanquantile(x, Q, axis=0, method=method))
        assert equal(got, want), method
        got, want = agree(lambda: vs.nanpercentile(mine, 40, method=method),
                          lambda: np.nanpercentile(x, 40, method=method))
        assert equal(got, want)
        assert equal(vs.quantile(mine, Q, axis=0, method=method), np.quantile(x, Q, axis=0, method=method))
    got, want = agree(lambda: vs.nanmedian(mine, axis=0), lambda: np.nanmedian(x, axis=0))
    assert equal(got, want)
    got, want = agree(lambda: vs.median(mine, axis=0), lambda: np.median(x, axis=0))
    assert equal(got, want)
    got, want = agree(lambda: vs.nanmedian(mine[:, 1]), lambda: np.nanmedian(x[:, 1]))
    assert equal(got, want)
    # Each rank's own rows: NumPy gives the data's float type when the
    # gathered array's first slice is all NaN, whichever rank holds it.
    for dtype in (np.float32, np.float16):
        first_nan = np.full((5, 3), np.nan, dtype)
        first_nan[1:, 0] = 1.0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            for data in (first_nan, first_nan[::-1]):
                want = np.nanpercentile(data, 60, axis=1).dtype
                assert vs.nanpercentile(block(data, WORLD, how), 60, axis=1).dtype == want, (how, dtype)


def test_medians_as_numpys_mean_of_the_middle_values():
    """float32 middle values summed in float32; float64 ones may overflow."""
    for x in (np.array([1.0, 1 + 2**-23, 3.0, 16777217.0], np.float32), np.array([1e308, 1.5e308, 0.0, 2e308]),
              np.array([2**62 + 1, 2**62 + 3, 5, 2**63 - 1], np.int64), np.array([7, 3], np.uint8)):
        for how in SPLITS:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                assert equal(vs.median(block(x, WORLD, how)), np.median(x))
    big = np.array([2**62 + 1, 2**62 + 3, 2**63 - 1], np.int64)
    for method in ("lower", "higher", "nearest", "inverted_cdf"):
        assert equal(vs.quantile(block(big, WORLD, "last"), [0.5, 1.0], method=method),
                     np.quantile(big, [0.5, 1.0], method=method))


def test_empty_arrays_and_bad_arguments_alike_on_every_rank():
    empty = np.zeros((0, 3))
    with pytest.raises(IndexError):
        vs.quantile(empty, 0.5, axis=0)
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        assert np.isnan(vs.median(empty, axis=0)).all()
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        assert np.isnan(vs.nanquantile(empty, [0.5])).all()
    x = np.arange(6.0).reshape(3, 2)
    with pytest.raises(ValueError, match=r"Quantiles must be in the range \[0, 1\]"):
        vs.quantile(x, [0.5, 1.5])
    with pytest.raises(ValueError, match=r"Percentiles must be in the range \[0, 100\]"):
        vs.nanpercentile(x, -1)
    with pytest.raises(ValueError, match="is not a valid method"):
        vs.quantile(x, 0.5, method="foo")
    with pytest.raises(np.AxisError):
        vs.median(x, axis=2)
    with pytest.raises(ValueError, match="duplicate"):
        vs.quantile(x, 0.5, axis=(0, -2))
    with pytest.raises(TypeError, match="You shall not pass both"):
        vs.quantile(x, 0.5, method="lower", interpolation="lower")
    with pytest.warns(DeprecationWarning, match="renamed to `method=`"):
        assert equal(vs.quantile(x, 0.5, interpolation="lower"), np.float64(2.0))
    with pytest.raises(ValueError, match="Only method 'inverted_cdf' supports weights"):
        vs.quantile(x, 0.5, weights=np.ones_like(x))
    with pytest.raises(TypeError, match="comm"):
        with vs.zeros(3) as a:
            vs.median(a, comm=WORLD)
    assert WORLD.allreduce(1) == WORLD.size


def test_the_same_bits_at_any_rank_count():
    """Results over every rank equal those of rank 0 holding everything."""
    x = table(np.float32, rows=500, columns=4)
    everything = x if WORLD.rank == 0 else x[:0]
    from mpi4py import MPI
    for call in (lambda a, c: vs.quantile(a, Q, axis=0, method="normal_unbiased", comm=c),
                 lambda a, c: vs.nanmedian(a, comm=c), lambda a, c: vs.percentile(a, [5, 95], comm=c),
                 lambda a, c: vs.quantile(a, Q, weights=np.where(np.isfinite(a), np.abs(a), 1.0) + 0.1, method="inverted_cdf", axis=0, comm=c)):
        split = call(block(x, WORLD, "ramp"), WORLD)
        alone = call(x, MPI.COMM_SELF)
        assert np.asarray(split).tobytes() == np.asarray(alone).tobytes()
        assert equal(call(everything, WORLD), split)


def test_weighted_quantiles_are_those_of_repeated_values():
    g = np.arange(300)
    x = np.floor(x_of(g) / 5.0)
    x[::37] = -0.0
    w = (g * 7) % 4  # zeros included
    repeated = np.repeat(x, w)
    mine, weights = block(x, WORLD, "ramp"), block(w, WORLD, "ramp")
    for q in ([0.01, 0.25, 0.5, 0.75, 1.0], 0.5):
        assert equal(vs.quantile(mine, q, method="inverted_cdf", weights=weights),
                     np.quantile(repeated, q, method="inverted_cdf"))
        assert equal(vs.percentile(mine, np.multiply(q, 100), method="inverted_cdf", weights=weights),
                     np.percentile(repeated, np.multiply(q, 100), method="inverted_cdf"))
    # Columns, 1-D weights along the distributed axis, NaN left out with their weight.
    t = np.stack([x, -x, x * 0.5], axis=1)
    t[5, 2] = np.nan
    tw = np.stack([w, w, w], axis=1).astype(np.float64)
    got = vs.nanquantile(block(t, WORLD, "last"), [0.3, 0.8], axis=0, method="inverted_cdf",
                         weights=block(tw, WORLD, "last"))
    for c in range(3):
        keep = ~np.isnan(t[:, c])
        want = np.quantile(np.repeat(t[keep, c], w[keep]), [0.3, 0.8], method="inverted_cdf")
        assert equal(got[:, c], want)
    along = vs.quantile(block(t[:, :2], WORLD, "even"), 0.5, axis=0, method="inverted_cdf",
                        weights=block(w, WORLD, "even"))
    assert equal(along, np.array([np.quantile(np.repeat(t[:, c], w), 0.5, method="inverted_cdf") for c in (0, 1)]))
    # Fractional weights: exact cumulative totals decide, not rounded ones.
    third = np.array([1 / 3, 1 / 3, 1 / 3, 1.0])
    vals = np.array([1.0, 2.0, 3.0, 4.0])
    assert vs.quantile(block(vals, WORLD, "ramp"), 0.5, method="inverted_cdf",
                       weights=block(third, WORLD, "ramp")) == 4.0  # NumPy 2 gives 3.0 from a rounded cumsum
    with pytest.raises(ValueError, match="Weights must be non-negative"):
        vs.quantile(mine, 0.5, method="inverted_cdf", weights=weights - (WORLD.rank == WORLD.size - 1))
    # bool and float16 weights: the quantiles of uint8 and float32 ones.
    for narrow, wide in ((weights % 2 == 1, (weights % 2).astype(np.uint8)),
                         ((weights / 4).astype(np.float16), (weights / 4).astype(np.float32))):
        for data in (mine, mine.astype(np.float16)):
            assert equal(vs.quantile(data, [0.2, 0.5, 0.9], method="inverted_cdf", weights=narrow),
                         vs.quantile(data, [0.2, 0.5, 0.9], method="inverted_cdf", weights=wide))


@pytest.mark.skipif(WORLD.size == 1, reason="needs ranks that disagree")
def test_blocks_of_other_trailing_shapes_fail_on_every_rank():
    last = WORLD.rank == WORLD.size - 1
    mine = np.zeros((4, 3, 2) if last else (4, 2, 3))
    with pytest.raises(RuntimeError, match="ranks hold blocks of different dtypes or shapes"):
        vs.quantile(mine, 0.5, axis=0)
    with pytest.raises(RuntimeError, match="ranks"):
        vs.nanmedian(mine.astype(np.float32) if last else mine, axis=(0, 1))
    assert WORLD.allreduce(1) == WORLD.size


def test_axes_and_weights_one_rank_cannot_use_fail_on_every_rank():
    """The axes, the weights' layout and the tables are settled in the ranks'
    agreement: a rank whose block has too few axes, or whose weights do not
    fit it, raises its reason and the others name it; nobody waits."""
    if WORLD.size == 1:
        pytest.skip("needs a second rank")
    last = WORLD.rank == WORLD.size - 1
    mine = np.zeros(0) if last else np.ones((2, 3))
    with pytest.raises((np.AxisError, ValueError)):
        vs.quantile(mine, 0.5, axis=(0, 1))
    weights = np.ones(3 if last else 2)
    with pytest.raises(ValueError):
        vs.quantile(np.ones((2, 3)), 0.5, axis=0, method="inverted_cdf", weights=weights)
    assert WORLD.allreduce(1) == WORLD.size


def test_numpys_warning_counts_nan_dtypes_and_probabilities():
    all_nan = np.full((4, 3), np.nan, np.float32)
    mine_ = block(all_nan, WORLD, "first")
    for axis, times in ((None, 1), (0, 3), ((0, 1), 1)):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = vs.nanmedian(mine_, axis=axis)
            got_q = vs.nanpercentile(mine_, 50, axis=axis)
        assert [str(w.message) for w in caught] == ["All-NaN slice encountered"] * (2 * times)
        assert np.asarray(got).dtype == np.float32 and np.asarray(got_q).dtype == np.float32
    # float32 NaN of one number keeps its type; a first column that is not
    # all NaN gives float64, as NumPy's.
    some = np.array([[1, np.nan], [2, np.nan], [3, np.nan]], np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert vs.nanpercentile(block(some, WORLD, "last"), 50, axis=0).dtype == np.float64
        assert vs.nanpercentile(block(some[:, ::-1], WORLD, "last"), 50, axis=0).dtype == np.float32
    assert vs.percentile(block(some, WORLD, "ramp"), 50).dtype == np.float32
    assert vs.percentile(block(some[:, 0], WORLD, "ramp"), 50).dtype == np.float64
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert np.isnan(vs.median(np.zeros(0)))
    assert [str(w.message) for w in caught] == ["Mean of empty slice.", "invalid value encountered in scalar divide"]
    from fractions import Fraction
    x = block(np.arange(8), WORLD, "even")
    assert vs.quantile(x, Fraction(1, 2)) == 3.5
    out = np.zeros(1)
    assert vs.percentile(x, 50, out=out) is out and out[0] == 3.5
    with pytest.raises(ValueError):
        vs.percentile(x, [10, 50, 90], out=np.zeros(2))  # a result NumPy cannot broadcast into out


def outcome_of(call):
    """A call's value, or its exception's type and text (NumPy's refusals)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return call()
        except (TypeError, ValueError) as e:
            return f"{type(e).__name__}: {e}"


@pytest.mark.parametrize("how", ["even", "last", "ramp"])
def test_bool_and_float16_data_as_numpy_takes_them(how):
    """float16: values picked or medians in float16, interpolations in
    float64 (NaN in float16 where it propagates); bool: medians as float64,
    values picked as bool, interpolations refused with NumPy's TypeError;
    integer probabilities follow NumPy's integer positions."""
    x16 = table(np.float16, rows=61, columns=4)
    x16[7, 1] = np.float16(6.1e-5)   # a subnormal
    x16[11, 2] = np.nan
    flags = table(np.int64, rows=61, columns=4) % 3 == 0
    for x in (x16, flags):
        mine = block(x, WORLD, how)
        for function, q in (("quantile", Q), ("quantile", 0.3), ("quantile", 1), ("percentile", 30.0),
                            ("nanquantile", Q), ("nanpercentile", 0), ("percentile", 0)):
            for method in METHODS:
                for axis in (None, 0, 1):
                    got = outcome_of(lambda: getattr(vs, function)(mine, q, axis=axis, method=method))
                    want = outcome_of(lambda: getattr(np, function)(x, q, axis=axis, method=method))
                    if isinstance(want, str) and "kth" in want:
                        continue  # NumPy 1.24's own fault: weibull's position of q = 1 past the end
                    if axis == 1:
                        want = want if isinstance(want, str) else block(np.asarray(want).T, WORLD, how).T
                    assert type(got) is type(want), (x.dtype, function, q, method, axis, got, want)
                    assert isinstance(got, str) and got == want or equal(got, want), (
                        x.dtype, function, q, method, axis, got, want)
        for function in ("median", "nanmedian"):
            for axis in (None, 0):
                got, want = getattr(vs, function)(mine, axis=axis), getattr(np, function)(x, axis=axis)
                assert equal(got, want) and same_everywhere(got), (x.dtype, function, axis)
    # The middle pair of an even count of float16 values, as NumPy's mean
    # of them: through a float32 total.
    pair = np.array([np.float16(65504.0), np.float16(2.0 ** -24)], dtype=np.float16)
    assert equal(vs.median(block(pair, WORLD, how)), np.median(pair))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert equal(vs.median(np.zeros((0, 2), np.bool_), axis=0), np.median(np.zeros((0, 2), np.bool_), axis=0))
