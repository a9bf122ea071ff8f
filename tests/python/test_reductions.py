"""The reductions against NumPy on the gathered data: every axis form, keepdims,
result dtypes and scalars, the NaN functions, warnings and errors raised alike
on every rank, and the same bits at any split of the rows (ranks without rows
included)."""
import warnings

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere

LAYOUTS = ["even", "first", "last", "ramp"]
AXES = [None, 0, 1, -1, (0, 2), (1, 2), (2, 0, 1), ()]


def awkward(dtype, shape, seed=3):
    """Seeded values with many ties; floats with +-0, subnormals, +-inf."""
    rng = np.random.default_rng(seed)
    x = rng.integers(-6, 7, size=shape).astype(dtype)
    if np.dtype(dtype).kind == "f":
        flat = x.reshape(-1)
        flat[::7] = -0.0
        flat[3::11] = np.finfo(dtype).smallest_subnormal
        flat[5::13] = -np.finfo(dtype).smallest_subnormal
        flat[17] = np.inf
        flat[29] = -np.inf
    return x


def with_nan(x):
    x = x.copy()
    flat = x.reshape(-1)
    flat[4::9] = np.nan
    return x


def reduces_rows(axis, ndim):
    if axis is None:
        return True
    axes = axis if isinstance(axis, tuple) else (axis,)
    return any(a % ndim == 0 for a in axes)


def check(name, x, layout, axis, keepdims=False, exact=True, **kw):
    mine_ = block(x, WORLD, layout)
    f = getattr(vs, name)
    args = dict(kw)
    if keepdims:
        args["keepdims"] = True
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = f(mine_, axis=axis, **args)
        want = getattr(np, name)(x, axis=axis, **args)
        if not reduces_rows(axis, x.ndim):
            want = getattr(np, name)(mine_, axis=axis, **args)
    assert type(got) is type(want), (name, axis, type(got), type(want))
    got_a, want_a = np.asarray(got), np.asarray(want)
    assert got_a.dtype == want_a.dtype and got_a.shape == want_a.shape, (name, axis, got_a.dtype, want_a.dtype)
    if exact:
        np.testing.assert_array_equal(got_a, want_a)
        assert np.array_equal(np.signbit(got_a), np.signbit(want_a)) or got_a.dtype.kind != "f" or name not in (
            "argmin", "argmax")
    else:
        tol = 1e-5 if got_a.dtype == np.float32 else 1e-12
        np.testing.assert_allclose(got_a, want_a, rtol=tol, atol=tol)
    if reduces_rows(axis, x.ndim):
        assert same_everywhere(got_a)
    return got_a


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32, np.uint8])
def test_extremes_and_positions_are_numpys(dtype):
    x = awkward(dtype, (23, 3, 4))
    for layout in LAYOUTS:
        for axis in AXES:
            for name in ("min", "max", "amin", "amax", "ptp"):
                for keepdims in (False, True):
                    check(name, x, layout, axis, keepdims)
        for axis in (None, 0, 1, -1, 2):
            for name in ("argmin", "argmax"):
                check(name, x, layout, axis)
        if np.dtype(dtype).kind == "f":
            y = with_nan(x)
            for axis in (None, 0, 2):
                for name in ("min", "max", "argmin", "argmax", "nanmin", "nanmax", "nanargmin", "nanargmax"):
                    check(name, y, layout, axis)


def test_int64_extremes_beyond_doubles():
    x = np.array([2**62 + 1, -2**63, 2**63 - 1, 2**63 - 2, -2**63 + 1, 2**63 - 1], dtype=np.int64)
    for layout in LAYOUTS:
        for name in ("min", "max", "argmin", "argmax", "ptp", "sum"):
            check(name, x, layout, None)
    u = np.array([2**64 - 1, 0, 2**63, 2**64 - 1], dtype=np.uint64)
    assert vs.max(block(u, WORLD, "ramp")) == np.uint64(2**64 - 1)
    assert vs.argmax(block(u, WORLD, "last")) == 0


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int16, np.uint32])
def test_moments_are_numpys(dtype):
    x = awkward(dtype, (19, 2, 5))
    if np.dtype(dtype).kind == "f":
        x = np.where(np.isinf(x), 1, x).astype(dtype)
    for layout in LAYOUTS:
        for axis in AXES[:-1]:
            for keepdims in (False, True):
                check("sum", x, layout, axis, keepdims, exact=np.dtype(dtype).kind != "f")
                check("mean", x, layout, axis, keepdims, exact=False)
                check("var", x, layout, axis, keepdims, exact=False, ddof=1)
                check("std", x, layout, axis, keepdims, exact=False)
                check("count_nonzero", x, layout, axis, keepdims)
        if np.dtype(dtype).kind == "f":
            y = with_nan(x)
            for axis in (None, 0, 1):
                for name in ("nansum", "nanmean", "nanvar", "nanstd"):
                    check(name, y, layout, axis, exact=False)
                check("mean", y, layout, axis, exact=False)


def test_same_bits_at_every_split():
    rng = np.random.default_rng(11)
    x = rng.standard_normal((101, 7)) * 10.0 ** rng.integers(-20, 20, size=(101, 7))
    results = []
    for layout in LAYOUTS:
        mine_ = block(x, WORLD, layout)
        results.append(np.concatenate([np.ravel(r) for r in (
            vs.sum(mine_), vs.mean(mine_), vs.var(mine_), vs.std(mine_, axis=0), vs.mean(mine_, axis=0),
            vs.mean(mine_.astype(np.float32), axis=0))]).tobytes())
    assert all(r == results[0] for r in results) and same_everywhere(results[0])
    # Exact: the sum of values that cancel.
    y = np.array([1e300, 1.0, -1e300, 2.0**-60])
    assert vs.sum(block(y, WORLD, "ramp")) == 1.0 + 2.0**-60


def test_result_kinds():
    f32 = np.arange(10, dtype=np.float32)
    i32 = np.arange(10, dtype=np.int32)
    mine32 = block(f32, WORLD, "even")
    assert type(vs.mean(mine32)) is np.float32 and type(vs.mean(block(i32, WORLD, "even"))) is np.float64
    assert type(vs.sum(block(i32, WORLD, "even"))) is np.int64
    assert type(vs.mean(mine32, dtype=np.float64)) is np.float64
    assert vs.sum(block(np.full(10, 2**62, dtype=np.int64), WORLD, "even")) == np.int64(-(2**63))  # wraps
    assert type(vs.count_nonzero(mine32)) is int and vs.count_nonzero(mine32) == 9
    out = np.empty(())
    assert vs.mean(mine32, out=out) is out and out == 4.5
    avg, n = vs.average(block(np.arange(12.0).reshape(6, 2), WORLD, "ramp"), axis=0, returned=True)
    assert avg.tolist() == [5.0, 6.0] and n.tolist() == [6.0, 6.0]
    w = np.arange(10.0)
    assert vs.average(block(np.arange(10.0), WORLD, "last"), weights=block(w, WORLD, "last")) == \
        np.average(np.arange(10.0), weights=w)


def test_axis_errors_are_numpys():
    x = block(np.zeros((8, 3)), WORLD, "even")
    for name in ("sum", "mean", "min", "argmax", "count_nonzero"):
        with pytest.raises(np.AxisError, match="axis 2 is out of bounds for array of dimension 2"):
            getattr(vs, name)(x, axis=2)
        with pytest.raises(np.AxisError, match="axis -3 is out of bounds"):
            getattr(vs, name)(x, axis=-3)
    with pytest.raises(ValueError, match="duplicate value in 'axis'"):
        vs.sum(x, axis=(0, -2))
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        vs.argmin(x, axis=(0,))
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        vs.mean(x, axis=1.0)
    assert WORLD.allreduce(1) == WORLD.size


def test_warnings_and_errors_of_empty_and_nan_slices():
    empty = np.zeros((0, 2))
    with pytest.warns(RuntimeWarning, match=r"Mean of empty slice\."):
        assert np.isnan(vs.mean(empty)).all()
    with pytest.warns(RuntimeWarning, match="Degrees of freedom <= 0 for slice"):
        vs.var(block(np.ones(WORLD.size), WORLD, "even"), ddof=WORLD.size)
    with pytest.raises(ValueError, match="attempt to get argmax of an empty sequence"):
        vs.argmax(empty)
    with pytest.raises(ValueError, match="zero-size array to reduction operation minimum which has no identity"):
        vs.min(empty)
    nans = block(np.array([[np.nan, 1.0], [np.nan, 2.0], [np.nan, 3.0]]), WORLD, "ramp")
    with pytest.warns(RuntimeWarning, match="All-NaN slice encountered"):
        assert np.isnan(vs.nanmax(nans, axis=0)[0])
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        vs.nanmean(nans, axis=0)
    with pytest.raises(ValueError, match="All-NaN slice encountered"):
        vs.nanargmin(nans, axis=0)
    assert vs.nanargmin(nans[:, 1:], axis=0).tolist() == [0]


def test_arrays_and_their_local_results():
    x = np.arange(24.0).reshape(8, 3) - 7.0
    with vs.from_local(block(x, WORLD, "even")) as a:
        assert vs.max(a) == 16.0 and vs.argmin(a) == 0 and vs.mean(a) == x.mean()
        rows = vs.sum(a, axis=1)
        assert isinstance(rows, vs.Array) and rows.shape == (8,)
        np.testing.assert_array_equal(np.array(rows.local), block(x.sum(axis=1), WORLD, "even"))
        rows.free()
        with pytest.raises(TypeError, match="comm"):
            vs.min(a, comm=WORLD)


def test_different_trailing_shapes_fail_on_every_rank():
    mine_ = np.zeros((2, 3 if WORLD.rank == WORLD.size - 1 and WORLD.size > 1 else 4))
    if WORLD.size > 1:
        for name in ("mean", "max", "argmin"):
            with pytest.raises(RuntimeError, match="differ in dtype"):
                getattr(vs, name)(mine_, axis=0)
    assert WORLD.allreduce(1) == WORLD.size


def outcome(call):
    """What a call did on this rank: its result's bytes, or its exception's
    type, with the warnings it gave (warnings as errors stay errors)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = np.asarray(call()).tobytes()
        except Exception as e:  # noqa: BLE001 - the kind is what is compared
            got = type(e).__name__
    return got, [str(w.message) for w in caught]


def test_slices_of_one_ranks_rows_warn_and_raise_on_every_rank():
    """A reduction of each rank's own rows whose empty or all-NaN slices are
    on one rank only: every rank warns or raises alike, as NumPy does for
    the whole array, and an Array's result is made by all or none."""
    last = WORLD.rank == WORLD.size - 1
    rows = np.full((2, 3), np.nan) if last else np.ones((2, 3))
    for call in [lambda: vs.nanargmin(rows, axis=1), lambda: vs.nanmax(rows, axis=1),
                 lambda: vs.nanmean(rows, axis=1), lambda: vs.nanmedian(rows, axis=1),
                 lambda: vs.nanquantile(rows, 0.5, axis=1)]:
        got, warned = outcome(call)
        kinds = WORLD.allgather((got if isinstance(got, str) else "result", warned))
        assert all(k == kinds[-1] for k in kinds), kinds
        # NumPy's nanmedian and nanquantile warn once per all-NaN slice (the
        # last rank's two rows), the others once.
        assert kinds[-1][0] == "ValueError" or kinds[-1][1] in (["All-NaN slice encountered"], ["Mean of empty slice"],
                                                                ["All-NaN slice encountered"] * 2)
    with vs.zeros((WORLD.size * 4, 3)) as a:
        if last:
            a.local[0] = np.nan
        with pytest.raises(ValueError, match="All-NaN slice"):
            vs.nanargmin(a, axis=1)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match="All-NaN slice"):
                vs.nanmedian(a, axis=1)
    assert WORLD.allreduce(1) == WORLD.size  # nobody was left behind


def test_numpys_rules_at_the_edges():
    with pytest.warns(RuntimeWarning, match="Degrees of freedom"):
        assert np.isnan(vs.nanvar(np.array([1.0, 2.0]) if WORLD.rank == 0 else np.zeros(0), ddof=2 * WORLD.size))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isnan(vs.mean(np.full(3, np.nan)))  # NaN propagates; the slice is not empty
    with pytest.raises(ZeroDivisionError):
        vs.average(np.zeros(0), weights=np.zeros(0))
    assert vs.sum(np.full(2, 0.5), dtype=np.int64) == 0  # NumPy casts each value first: 0, not 1


def scalar_cast_sum(x, dtype, axis):
    """NumPy's sum of each value cast alone (its element-wise cast; NumPy's
    vector loop casts NaN and values beyond 2^31 to uint32 otherwise)."""
    cast = np.vectorize(lambda v: np.sum(np.array([v]), dtype=dtype), otypes=[dtype])(x)
    return np.sum(cast, axis=axis, dtype=dtype)


def test_floats_summed_in_an_integer_or_complex_dtype_are_numpys():
    """Each value cast to the integer dtype (truncated; NaN, infinities and
    values beyond the conversion as this machine's NumPy casts them), added
    with wrap-around; NaN 0 in nansum; NumPy's warning on every rank; the
    same bits at any split. A complex dtype takes the real total."""
    x = awkward(np.float64, (30, 3)) * 1e3 + 0.75
    x[3, 1], x[5, 0], x[7, 2], x[11, 1], x[13, 0], x[20, 2] = np.nan, np.inf, -1e30, 5e9, -2.5e19, 1.5e19
    for layout in LAYOUTS:
        for src in (x, x.astype(np.float32)):
            mine_ = block(src, WORLD, layout)
            for dtype in ("i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"):
                for axis in (None, 0, 1):
                    want_x = gathered_or_own(src, mine_, axis)
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore", RuntimeWarning)
                        want = scalar_cast_sum(want_x, dtype, axis)
                        want_nan = scalar_cast_sum(np.where(np.isnan(want_x), 0, want_x), dtype, axis)
                    with pytest.warns(RuntimeWarning, match="invalid value encountered in reduce"):
                        got = vs.sum(mine_, axis=axis, dtype=dtype)
                    assert np.asarray(got).dtype == np.dtype(dtype)
                    np.testing.assert_array_equal(got, want, err_msg=dtype)
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore", RuntimeWarning)
                        np.testing.assert_array_equal(vs.nansum(mine_, axis=axis, dtype=dtype), want_nan)
                    if axis != 1:
                        assert same_everywhere(got)
            # Values the cast takes as they are: no warning, NumPy's own sum.
            small = block(np.nan_to_num(x, posinf=0, neginf=0) % 1000, WORLD, layout)
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                assert vs.sum(small, dtype="i2") == np.sum(np.nan_to_num(x, posinf=0, neginf=0) % 1000, dtype="i2")
        mine_ = block(x[:, :1] % 7, WORLD, layout)
        for code in "FDG":
            got = vs.nansum(mine_, axis=0, dtype=code)
            want = np.nansum(x[:, :1] % 7, axis=0, dtype=code)
            assert got.dtype == want.dtype and np.array_equal(got, want)
            assert type(vs.sum(mine_, dtype=np.dtype(code))) is np.dtype(code).type


def test_blocks_of_no_axes_count_as_one_row():
    x = np.float64(3.0) if WORLD.rank == 0 else np.array([1.0, 2.0])
    want = np.concatenate(WORLD.allgather(np.atleast_1d(x)))
    assert vs.sum(x, axis=0) == want.sum() and vs.argmax(x) == want.argmax()


def gathered_or_own(x, mine_, axis):
    """The rows NumPy's answer is for: the whole array where axis 0 is reduced."""
    return x if reduces_rows(axis, x.ndim) else mine_


def test_where_and_initial_are_numpys():
    """A mask of the array's shape split like the rows, a row mask broadcast
    on every rank, NaN values the mask keeps or leaves out, integers."""
    x = with_nan(awkward(np.float64, (17, 4)))
    x[np.isinf(x)] = 1.0
    full = (np.arange(68).reshape(17, 4) % 3) != 1
    row = np.array([[True, False, True, True]])
    for layout in LAYOUTS:
        mine_ = block(x, WORLD, layout)
        for mask, mine_mask in ((full, block(full, WORLD, layout)), (row, row)):
            for axis in (None, 0, 1):
                want_x = gathered_or_own(x, mine_, axis)
                want_m = gathered_or_own(mask, mine_mask, axis) if mask is full else mask
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", RuntimeWarning)
                    for name in ("sum", "nansum", "mean", "nanmean", "var", "std", "nanvar", "nanstd"):
                        got = getattr(vs, name)(mine_, axis=axis, where=mine_mask)
                        want = getattr(np, name)(want_x, axis=axis, where=want_m)
                        assert np.asarray(got).dtype == np.asarray(want).dtype
                        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12, err_msg=name)
                    for name in ("min", "max", "nanmin", "nanmax"):
                        got = getattr(vs, name)(mine_, axis=axis, where=mine_mask, initial=2.5)
                        want = getattr(np, name)(want_x, axis=axis, where=want_m, initial=2.5)
                        np.testing.assert_array_equal(got, want, err_msg=name)
        ints = block(np.arange(40).reshape(10, 4), WORLD, layout)
        ints_mask = block(np.arange(40).reshape(10, 4) % 5 != 0, WORLD, layout)
        assert vs.mean(ints, where=ints_mask) == np.mean(np.arange(40)[np.arange(40) % 5 != 0])
        assert vs.sum(ints, axis=0, where=ints_mask, initial=7).tolist() == [167] * 4
    # initial stands for an empty slice; where without initial is refused for min.
    empty = np.zeros((0, 2))
    assert vs.max(empty, axis=0, initial=-3.0).tolist() == [-3.0, -3.0]
    assert vs.nansum(np.full(3, np.nan), initial=2.0) == 2.0
    assert vs.nanmin(np.full(3, np.nan), initial=1.0) == 1.0
    with pytest.raises(ValueError, match="initial"):
        vs.min(np.ones(3), where=np.ones(3, bool))
    with pytest.raises(TypeError, match="boolean"):
        vs.sum(np.ones(3), where=np.ones(3))
    with pytest.raises(TypeError, match="dtype must be inexact"):
        vs.nanmean(np.ones((2, 2)), axis=1, dtype=np.int64)
    with pytest.raises(TypeError, match="out must be inexact"):
        vs.nanvar(np.ones((2, 2)), axis=1, out=np.zeros(2, np.int64))


def test_a_mask_one_rank_cannot_use_fails_on_every_rank():
    last = WORLD.rank == WORLD.size - 1
    mine_ = np.ones((3, 4))
    mask = np.ones((2, 4), bool) if last else np.ones((3, 4), bool)
    if WORLD.size > 1:
        got, _ = outcome(lambda: vs.mean(mine_, axis=1, where=mask))
        assert got == "ValueError"
    assert WORLD.allreduce(1) == WORLD.size


def test_a_mask_along_the_global_rows_is_numpys():
    """A where of the global number of rows that broadcasts along the other
    axes (or has the global shape, given whole to every rank): each rank
    takes its own rows of it, as NumPy broadcasts it against the global
    shape; the same bits at any split."""
    x = with_nan(awkward(np.float64, (9, 4)))
    x[np.isinf(x)] = 1.0
    column = (np.arange(9) % 3 != 1).reshape(9, 1)
    full = (np.arange(36).reshape(9, 4) % 5) != 2
    for layout in LAYOUTS:
        mine_ = block(x, WORLD, layout)
        for mask in (column, full):
            for axis in (None, 0, 1):
                want_x = gathered_or_own(x, mine_, axis)
                want_m = mask if reduces_rows(axis, 2) else block(np.broadcast_to(mask, x.shape), WORLD, layout)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", RuntimeWarning)
                    for name in ("sum", "mean", "nanmean", "var", "std", "nanstd"):
                        got = getattr(vs, name)(mine_, axis=axis, where=mask)
                        want = getattr(np, name)(want_x, axis=axis, where=want_m)
                        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12, err_msg=name)
                        if reduces_rows(axis, 2):
                            assert same_everywhere(got)
                    got = vs.max(mine_, axis=axis, where=mask, initial=-9.0)
                    np.testing.assert_array_equal(got, np.max(want_x, axis=axis, where=want_m, initial=-9.0))
    # A mask of this rank's number of rows is this rank's part, broadcast
    # along the columns, as before masks along the global rows were read.
    for layout in LAYOUTS:
        mine_ = block(x, WORLD, layout)
        rows = block(column, WORLD, layout)
        for axis in (None, 0, 1):
            want_x = gathered_or_own(x, mine_, axis)
            want_m = np.broadcast_to(rows if not reduces_rows(axis, 2) else column, want_x.shape)
            got = vs.sum(mine_, axis=axis, where=rows)
            np.testing.assert_allclose(got, np.sum(want_x, axis=axis, where=want_m), rtol=1e-12, err_msg=layout)
    # A mask of another number of rows is NumPy's ValueError on every rank,
    # also when only one rank holds it.
    with pytest.raises(ValueError, match="does not broadcast against the array's shape"):
        vs.mean(block(x, WORLD, "even"), axis=0, where=np.ones((10, 1), bool))
    last = WORLD.rank == WORLD.size - 1
    if WORLD.size > 1:
        got, _ = outcome(lambda: vs.mean(np.ones((2, 3)), axis=0, where=np.ones((7, 1) if last else (2, 3), bool)))
        assert got == "ValueError"


def test_bools_and_float16_as_numpys():
    b = (np.arange(30).reshape(10, 3) % 4 == 1)
    h = (np.arange(30).reshape(10, 3) / 7 - 2).astype(np.float16)
    for layout in LAYOUTS:
        for axis in (None, 0, 1):
            for name in ("sum", "mean", "var", "min", "max", "argmin", "argmax", "count_nonzero"):
                if name in ("argmin", "argmax") and axis is not None and axis != 0:
                    continue
                check(name, b, layout, axis, exact=name not in ("mean", "var"))
            for name in ("mean", "min", "max", "ptp", "nanmax"):
                check(name, h, layout, axis, exact=name != "mean")
        # NumPy adds float16 in float16; the module's total is exact, rounded once.
        mine_ = block(h, WORLD, layout)
        got = vs.sum(mine_, axis=0)
        assert got.dtype == np.float16
        np.testing.assert_array_equal(got, np.sum(h.astype(np.float64), axis=0).astype(np.float16))
    with pytest.raises(TypeError, match="boolean subtract"):
        vs.ptp(b)


def test_weighted_averages_along_an_axis():
    x = awkward(np.float64, (13, 3))
    x[np.isinf(x)] = 2.0
    w = 1.0 + np.arange(39).reshape(13, 3) % 5
    for layout in LAYOUTS:
        mine_, mine_w = block(x, WORLD, layout), block(w, WORLD, layout)
        for axis in (0, 1, -1):
            want_x = gathered_or_own(x, mine_, axis)
            want_w = gathered_or_own(w, mine_w, axis)
            for keepdims in (False, True):
                avg, scl = vs.average(mine_, axis=axis, weights=mine_w, returned=True, keepdims=keepdims)
                want_avg, want_scl = np.average(want_x, axis=axis, weights=want_w, returned=True, keepdims=keepdims)
                np.testing.assert_allclose(avg, want_avg, rtol=1e-14)
                np.testing.assert_array_equal(scl, want_scl)
                assert avg.shape == want_avg.shape and scl.shape == want_scl.shape
        # 1-D weights along the distributed axis: each rank its rows' weights.
        along = block(np.arange(1.0, 14.0), WORLD, layout)
        np.testing.assert_allclose(vs.average(mine_, axis=0, weights=along),
                                   np.average(x, axis=0, weights=np.arange(1.0, 14.0)), rtol=1e-14)
    f = np.ones((4, 2), np.float32)
    assert vs.average(block(f, WORLD, "ramp"), weights=block(f, WORLD, "ramp")).dtype == np.float32
    # Weights of one rank's rows summing to zero: every rank raises.
    zero_w = np.zeros((2, 3)) if WORLD.rank == WORLD.size - 1 else np.ones((2, 3))
    with pytest.raises(ZeroDivisionError):
        vs.average(np.ones((2, 3)), axis=1, weights=zero_w)


def test_out_of_another_shape_is_refused_for_positions():
    x = block(np.arange(12.0).reshape(4, 3), WORLD, "even")
    with pytest.raises(ValueError):
        vs.argmax(x, out=np.zeros((2, 1), np.int64), keepdims=True)
    out = np.zeros((1, 1), np.int64)
    assert vs.argmin(x, out=out, keepdims=True) is out


def test_argmin_out_is_checked_as_numpy_checks_it():
    x = np.arange(12.0).reshape(4, 3)[::-1]
    mine = block(x, WORLD, "ramp")
    for name in ("argmin", "argmax", "nanargmin", "nanargmax"):
        shown = "argmin" if "argmin" in name else "argmax"
        for wrong in (np.empty((2, 1), np.intp), np.empty((1,), np.intp), np.empty((), np.intp)):
            with pytest.raises(ValueError, match=rf"output array does not match result of np\.{shown}\."):
                getattr(vs, name)(mine, out=wrong, keepdims=True)
        with pytest.raises(ValueError, match="does not match"):
            getattr(vs, name)(mine, axis=0, out=np.empty((1, 3), np.intp))
        with pytest.raises(TypeError, match=r"Cannot cast array data from dtype\('float64'\)"):
            getattr(vs, name)(mine, out=np.empty((1, 1)), keepdims=True)
        with pytest.raises(TypeError, match="output must be an array"):
            getattr(vs, name)(mine, out=[0])
        # Narrower integer and bool outs take the indices, as in NumPy.
        out = np.empty(3, np.int8)
        assert getattr(vs, name)(mine, axis=0, out=out) is out
        assert out.tolist() == getattr(np, name)(x, axis=0).tolist()
    assert WORLD.allreduce(1) == WORLD.size


def test_a_0d_array_reduces_to_0d_even_with_keepdims():
    """A 0-d array held by one rank (the others hold no rows): NumPy's
    keepdims leaves its reductions 0-d; values on two ranks make a 1-d array."""
    for holder in {0, WORLD.size - 1}:
        mine = np.array(5.0) if WORLD.rank == holder else np.zeros(0)
        for name in ("argmin", "sum", "max"):
            got = getattr(vs, name)(mine, keepdims=True)
            assert np.shape(got) == (), (name, np.shape(got))
        out = np.empty((), np.intp)
        assert vs.argmax(mine, keepdims=True, out=out) is out and out == 0
        with pytest.raises(ValueError, match="does not match"):
            vs.argmax(mine, keepdims=True, out=np.empty((1,), np.intp))
    if WORLD.size > 1:
        two = np.array(5.0) if WORLD.rank in (0, WORLD.size - 1) else np.zeros(0)
        assert vs.argmin(two, keepdims=True).shape == (1,)


def test_bool_and_float16_weights_are_numpys():
    """bool and float16 weights (and data): NumPy's result dtype, the same
    bits as with the weights widened exactly where the result dtype is
    wider than float16, and close to NumPy's float16 accumulation."""
    x = awkward(np.float64, (13, 3))
    x[np.isinf(x)] = 2.0
    flags = (np.arange(39).reshape(13, 3) % 4) != 1
    halves = ((np.arange(39).reshape(13, 3) % 5) / 2 + 0.5).astype(np.float16)
    for layout in LAYOUTS:
        for data in (x, x.astype(np.float16), x.astype(np.int32), x > 0):
            mine_ = block(data, WORLD, layout)
            for w, wide in ((flags, flags.astype(np.uint8)), (halves, halves.astype(np.float32))):
                mine_w, mine_wide = block(w, WORLD, layout), block(wide, WORLD, layout)
                for axis in (None, 0, 1):
                    want_x = gathered_or_own(data, mine_, axis)
                    want_w = gathered_or_own(w, mine_w, axis)
                    got, scl = vs.average(mine_, axis=axis, weights=mine_w, returned=True)
                    want, want_scl = np.average(want_x, axis=axis, weights=want_w, returned=True)
                    assert np.asarray(got).dtype == np.asarray(want).dtype, (data.dtype, w.dtype, axis)
                    np.testing.assert_allclose(got, want, rtol=2e-3 if want.dtype == np.float16 else 1e-12)
                    np.testing.assert_allclose(scl, want_scl, rtol=1e-3)
                    if np.asarray(got).dtype != np.float16:
                        same, _ = vs.average(mine_, axis=axis, weights=mine_wide, returned=True)
                        assert np.array_equal(got, same)
                    if axis != 1:
                        assert same_everywhere(got)
                assert vs.std(mine_, weights=mine_w) == vs.std(mine_, weights=mine_wide)
                assert vs.mean(mine_, weights=mine_w) == vs.mean(mine_, weights=mine_wide)


def test_weighted_average_of_an_array_along_an_axis():
    """average(Array, weights=..., axis=...) as NumPy's for the gathered array:
    weights an Array of a's layout, a NumPy array of the global shape, or
    1-D along the axis; results of each rank's own rows are Arrays."""
    x = (np.arange(60.0).reshape(10, 6) % 7) - 2.5
    w = 1.0 + np.arange(60).reshape(10, 6) % 4
    along0, along1 = np.arange(1.0, 11.0), np.arange(1.0, 7.0)
    with vs.from_local(block(x, WORLD, "ramp")) as a, vs.from_local(block(w, WORLD, "ramp")) as wa:
        for weights, axis in ((wa, 0), (w, 0), (along0, 0), (wa, (0, 1)), (w, -1), (along1, 1)):
            avg, scl = vs.average(a, axis=axis, weights=weights, returned=True)
            nweights = weights if not isinstance(weights, vs.Array) else w
            want_avg, want_scl = np.average(x, axis=axis, weights=nweights, returned=True)
            if isinstance(avg, vs.Array):
                assert isinstance(scl, vs.Array) and avg.shape == want_avg.shape
                avg, scl = np.concatenate(WORLD.allgather(np.array(avg.local))), \
                    np.concatenate(WORLD.allgather(np.array(scl.local)))
            np.testing.assert_allclose(avg, want_avg, rtol=1e-15)
            np.testing.assert_array_equal(scl, want_scl)
            assert same_everywhere(vs.average(a, axis=0, weights=weights if axis == 0 else along0))
        kept = vs.average(a, axis=0, weights=along0, keepdims=True)
        assert kept.shape == (1, 6)
        with pytest.raises(ValueError, match="Length of weights not compatible"):
            vs.average(a, axis=1, weights=along0)
        with pytest.raises(TypeError, match="1D weights expected"):
            vs.average(a, axis=1, weights=np.ones((2, 6)))
        with vs.zeros((10, 5)) as other:
            with pytest.raises(ValueError, match="shape of the data"):
                vs.average(a, axis=0, weights=other)
        with pytest.raises(ZeroDivisionError):
            vs.average(a, axis=0, weights=np.zeros(10))
    assert WORLD.allreduce(1) == WORLD.size


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.uint8])
def test_arrays_reduced_over_every_axis_are_numpys(dtype):
    """An Array reduced over all of its axes (axis=None, or every axis named)
    reads its block without agreeing on it first: the results are NumPy's on
    the whole data and alike on every rank, whether each rank holds rows or
    some hold none (fewer rows than ranks), for 1-d and 3-d arrays."""
    rng = np.random.default_rng(5)
    for shape in [(23,), (1,), (3, 2, 4)]:
        x = rng.integers(0, 50, size=shape).astype(dtype)
        w = rng.integers(1, 4, size=shape).astype(dtype)
        with vs.from_local(block(x, WORLD, "even")) as a, vs.from_local(block(w, WORLD, "even")) as aw:
            for axis in (None, tuple(range(len(shape)))):
                for name in ("sum", "mean", "var", "std", "min", "max", "ptp", "count_nonzero"):
                    got = getattr(vs, name)(a, axis=axis)
                    want = getattr(np, name)(x, axis=axis)
                    np.testing.assert_allclose(got, want, rtol=1e-6, err_msg=f"{name} {shape} {axis}")
                    assert np.asarray(got).dtype == np.asarray(want).dtype, (name, shape, axis)
                    assert same_everywhere(got)
            assert vs.argmin(a) == np.argmin(x) and vs.argmax(a) == np.argmax(x)
            assert vs.mean(a, weights=aw) == pytest.approx(np.average(x, weights=w))
            assert vs.std(a, weights=aw) == pytest.approx(
                np.sqrt(np.average((x - np.average(x, weights=w)) ** 2, weights=w)))


def test_arrays_over_every_axis_empty_nan_and_freed_alike_on_every_rank():
    """The edges of an Array reduced over every axis, where nothing is agreed
    before the engine's reduction: an empty Array warns or raises as NumPy
    does on every rank, a NaN on one rank's rows propagates to every rank,
    a freed Array raises the same ValueError everywhere, and the ranks then
    go on together."""
    with vs.from_local(np.zeros(0)) as empty:
        with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
            assert np.isnan(vs.mean(empty))
        with pytest.raises(ValueError, match="zero-size array to reduction operation maximum"):
            vs.max(empty)
        with pytest.raises(ValueError, match="attempt to get argmin of an empty sequence"):
            vs.argmin(empty)
    x = np.arange(10.0)
    x[7] = np.nan
    with vs.from_local(block(x, WORLD, "even")) as a:
        for name in ("mean", "std", "max", "sum"):
            assert np.isnan(getattr(vs, name)(a)), name
        assert vs.nanmean(a) == np.nanmean(x) and vs.argmax(a) == 7
    a = vs.from_local(block(np.arange(6.0), WORLD, "even"))
    a.free()
    for call in (lambda: vs.mean(a), lambda: vs.max(a), lambda: vs.sum(a), lambda: vs.std(a, weights=a)):
        with pytest.raises(ValueError, match="the array has been freed"):
            call()
    assert WORLD.allreduce(1) == WORLD.size
