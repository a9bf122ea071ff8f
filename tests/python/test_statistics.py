"""Every statistic against NumPy on the gathered data, exact totals against
math.fsum, bitwise the same results over 1 to N ranks and any distribution,
the library's messages as warnings, and the refusals."""
import math
import warnings

import numpy as np
import pytest
from mpi4py import MPI

import virdastatistics as vs
from mpi_data import WORLD, block, counts, gathered, same_everywhere, w_of, x_of, y_of

N = 1001
LOWER, WIDTH, NBINS = 0.0, 7.0, 15
CENTRES = [2.5 + 5.0 * k for k in range(20)]
PROBABILITIES = [0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 1.0]


def data(dtype, n=N):
    g = np.arange(n)
    x = x_of(g)
    if np.dtype(dtype) == np.int32:
        x = np.floor(x * 1000.0) - 50000.0
    return x.astype(dtype), y_of(g), w_of(g).astype(np.float64)


def library_histogram(v, lower, width, nbins):
    """The library's bins: (lower, lower + width), then [lower + k w, ...)."""
    v = np.asarray(v, dtype=np.float64)
    v = v[v > lower]
    k = np.floor((v - lower) / width)
    return np.bincount(k[(k >= 0) & (k < nbins)].astype(np.int64), minlength=nbins)


def library_bin_means(x, y, centres):
    c0, w, nbins = centres[0], centres[1] - centres[0], len(centres)
    k = np.floor((x - c0) / w + 0.5)
    keep = (k >= 0) & (k < nbins)
    k = k[keep].astype(np.int64)
    sums = np.bincount(k, weights=y[keep], minlength=nbins)
    n = np.bincount(k, minlength=nbins)
    return np.where(n > 0, sums / np.maximum(n, 1), 0.0)


def exact_ones(x, y, w):
    """The statistics built on exact totals and exact order statistics, of
    arrays x, y (float64) and weights w: the same bits at any rank count."""
    return (
        vs.mean(x),
        vs.mean(x, weights=w),
        vs.std(x),
        vs.std(x, weights=w),
        vs.histogram_above_lower(x, LOWER, WIDTH, NBINS),
        vs.polyfit(y, x, 2),
        vs.polyfit(y, x, 1, weights=w),
        vs.quantile(x, PROBABILITIES),
        vs.median(x),
    )


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32])
def test_every_function_against_numpy(dtype):
    xs, ys, ws = data(dtype)
    with vs.from_local(block(xs, WORLD, "ramp")) as x, vs.from_local(block(ys, WORLD, "first")) as y, \
            vs.from_local(block(ws, WORLD, "even")) as w:
        assert x.dtype == np.dtype(dtype)
        got = exact_ones(x, y, w)
        bins = vs.bin_data(y, x, CENTRES)  # plain sums per bin: not bitwise the same at every rank count
        values = vs.polyval(got[5], y)
        fitted = gathered(values)
        values.free()
        values = vs.polyval(got[5], x)
        at_x = gathered(values)
        values.free()
        seen = gathered(x)
    mean, wmean, std, wstd, hist, fit, wfit, quantiles, median = got
    v = xs.astype(np.float64)
    assert np.array_equal(seen, xs)
    if dtype == np.float32:  # NumPy's result dtype: the exact mean rounded once to float32
        assert type(mean) is np.float32 and mean == np.float32(math.fsum(v) / N)
        assert std == pytest.approx(np.std(v), rel=1e-6)
    else:
        assert mean == math.fsum(v) / N
        assert std == pytest.approx(np.std(v), rel=1e-13)
    assert wmean == math.fsum(v * ws) / math.fsum(ws)  # the products are exact here
    assert wstd == pytest.approx(math.sqrt(np.average((v - wmean) ** 2, weights=ws)), rel=1e-13)
    assert hist.dtype == np.int64 and np.array_equal(hist, library_histogram(v, LOWER, WIDTH, NBINS))
    assert bins == pytest.approx(library_bin_means(ys, v, CENTRES), rel=1e-12)
    assert fit == pytest.approx(np.polyfit(ys, v, 2), rel=1e-7)
    assert wfit == pytest.approx(np.polyfit(ys, v, 1, w=np.sqrt(ws)), rel=1e-9)
    assert fitted.dtype == np.float64 and fitted.tobytes() == np.polyval(fit, ys).tobytes()
    assert at_x.dtype == np.float64 and at_x.tobytes() == np.polyval(fit, v).tobytes()
    assert np.array_equal(quantiles, np.quantile(v, PROBABILITIES))
    assert median == np.median(v)


@pytest.mark.parametrize("dtype, wtype", [(np.int32, np.int32), (np.int64, np.uint16), (np.uint32, np.int64),
                                           (np.float32, np.float32), (np.int16, np.float32)])
def test_weighted_moments_take_numpy_average_products(dtype, wtype):
    """Integer data (stored as int32) and float32 data with such weights: the
    products, which int32 arithmetic would wrap and float32 arithmetic round,
    are numpy.average's, in float64 (exact for these), and their total is
    exact, rounded once."""
    g = np.arange(N)
    scale = 30000.0 if np.dtype(dtype).itemsize == 2 else 100000.0
    xs = (x_of(g) * scale / 100.0 + (0.0 if np.dtype(dtype).kind == "f" else 0.5)).astype(dtype)
    ws = (1.0 + x_of(g + 500) * 300.0 + (0.0 if np.dtype(wtype).kind == "f" else 0.5)).astype(wtype)
    with vs.from_local(block(xs, WORLD, "ramp")) as x, vs.from_local(block(ws, WORLD, "even")) as w:
        got = vs.mean(x, weights=w), vs.std(x, weights=w)
    v, wv = xs.astype(np.float64), ws.astype(np.float64)
    mean = math.fsum(v * wv) / math.fsum(wv)
    assert got[0] == mean and got[0] == pytest.approx(np.average(v, weights=wv), rel=1e-14)
    assert got[1] == pytest.approx(math.sqrt(np.average((v - mean) ** 2, weights=wv)), rel=1e-13)
    # The two elements: 100000 * 100000 wraps in int32.
    big = np.full(2, 100000, dtype=dtype if np.dtype(dtype).itemsize > 2 else np.int32)
    with vs.from_local(block(big, WORLD, "last")) as b:
        assert (vs.mean(b, weights=b), vs.std(b, weights=b)) == (100000.0, 0.0)


def test_results_are_the_same_bits_on_every_number_of_ranks():
    """The same data over the first k ranks, k = 1 .. N, and in four
    distributions over all of them: every result is the same bits."""
    xs, ys, ws = data(np.float64)
    results = {}
    for k in range(1, WORLD.size + 1):
        sub = WORLD.Split(0 if WORLD.rank < k else MPI.UNDEFINED, WORLD.rank)
        mine = None
        if sub != MPI.COMM_NULL:
            with vs.from_local(block(xs, sub, "ramp"), sub) as x, vs.from_local(block(ys, sub, "last"), sub) as y, \
                    vs.from_local(block(ws, sub, "first"), sub) as w:
                mine = exact_ones(x, y, w)
            sub.Free()
        results[f"{k} ranks"] = WORLD.bcast(mine, root=0)
    for how in ["even", "first", "last", "ramp"]:
        with vs.from_local(block(xs, WORLD, how)) as x, vs.from_local(block(ys, WORLD, how)) as y, \
                vs.from_local(block(ws, WORLD, how)) as w:
            results[how] = exact_ones(x, y, w)
    reference = [np.asarray(r).tobytes() for r in results["1 ranks"]]
    for name, result in results.items():
        assert [np.asarray(r).tobytes() for r in result] == reference, name
    assert same_everywhere(b"".join(reference))


def test_histogram_counts_are_on_every_rank():
    xs, _, _ = data(np.float64)
    with vs.from_local(block(xs, WORLD, "last")) as x:
        counts_here = vs.histogram_above_lower(x, LOWER, WIDTH, NBINS)
        nothing = vs.histogram_above_lower(x, LOWER, WIDTH, 0)
    assert same_everywhere(counts_here) and counts_here.sum() > 0
    assert nothing.shape == (0,)


def test_bin_data_pairs_elements_across_layouts():
    """x over a communicator ranking the processes in reverse, or of another
    shape: its elements are moved to y's layout first."""
    xs, ys, _ = data(np.float64, 600)
    reverse = WORLD.Split(0, WORLD.size - 1 - WORLD.rank)
    with vs.from_local(block(xs, reverse, "ramp"), reverse) as x_reversed, \
            vs.from_local(block(xs.reshape(300, 2), WORLD, "even")) as x_rows, \
            vs.from_local(block(ys, WORLD, "even")) as y:
        across = vs.bin_data(x_reversed, y, CENTRES)
        reshaped = vs.bin_data(x_rows, y, CENTRES)
    reverse.Free()
    expected = library_bin_means(xs, ys, CENTRES)
    assert across == pytest.approx(expected, rel=1e-12)
    assert reshaped == pytest.approx(expected, rel=1e-12)


def test_bin_data_of_numpy_values():
    """NumPy arrays of this rank's pairs with comm: the same means as Arrays
    of the same pairs; x must be float64 and y of x's shape."""
    xs, ys, _ = data(np.float64, 600)
    mine_x, mine_y = block(xs, WORLD, "ramp"), block(ys.astype(np.float32), WORLD, "ramp")
    means = vs.bin_data(mine_x, mine_y, CENTRES, comm=WORLD)
    with vs.from_local(block(xs, WORLD, "even")) as x, vs.from_local(block(ys.astype(np.float32), WORLD, "even")) as y:
        from_arrays = vs.bin_data(x, y, CENTRES)
        with pytest.raises(TypeError, match="comm is for NumPy arrays"):
            vs.bin_data(x, y, CENTRES, comm=WORLD)
        with pytest.raises(TypeError, match="both be Arrays or both NumPy"):
            vs.bin_data(x, mine_y, CENTRES)
    assert means == pytest.approx(library_bin_means(xs, ys.astype(np.float32), CENTRES), rel=1e-12)
    assert means == pytest.approx(from_arrays, rel=1e-12) and same_everywhere(means)
    with pytest.raises(TypeError, match="x must be float64"):
        vs.bin_data(mine_x.astype(np.float32), mine_y, CENTRES)
    with pytest.raises(ValueError, match="shape"):
        vs.bin_data(mine_x, np.ones(len(mine_x) + 1), CENTRES)


def test_quantile_follows_the_shape_of_q():
    xs, _, _ = data(np.float64)
    with vs.from_local(block(xs, WORLD, "even")) as x:
        one = vs.quantile(x, 0.3)
        grid = vs.quantile(x, [[0.1, 0.2], [0.3, 0.4]])
        none = vs.quantile(x, [])
    assert isinstance(one, float) and one == np.quantile(xs, 0.3)
    assert grid.shape == (2, 2) and np.array_equal(grid, np.quantile(xs, [[0.1, 0.2], [0.3, 0.4]]))
    assert none.shape == (0,)


def polyval_cases():
    """Data of each element type with NaN, infinities, signed zeros and huge
    values among ordinary ones, and coefficients: a quartic with a NaN-free
    mix of magnitudes, a constant, none (NumPy gives zeros)."""
    g = np.arange(N)
    special = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1e300, -1e-300, 3.0]
    xs = x_of(g) - 50.0
    xs[: len(special)] = special
    with np.errstate(over="ignore"):  # 1e300 as float32: inf
        cases = [xs, xs.astype(np.float32), np.floor(xs[len(special):] * 1000.0).astype(np.int32)]
    return cases, [[0.125, -3.5, 1e-3, 7.25, -0.1], [2.5], []]


def test_polyval_is_numpy_polyval_bitwise_in_any_distribution():
    """Horner's rule on each rank's block: the same bits as numpy.polyval on
    the gathered data (as float64) for every element type, every
    distribution (ranks without rows included) and 2-D arrays."""
    cases, polynomials = polyval_cases()
    got = []
    for xs in cases:
        for how in ["even", "first", "last", "ramp"]:
            with vs.from_local(block(xs, WORLD, how)) as x:
                for p in polynomials:
                    with vs.polyval(p, x) as values:
                        got.append((values.dtype, values.shape, gathered(values)))
        with vs.from_local(block(xs[: len(xs) // 2 * 2].reshape(-1, 2), WORLD, "ramp")) as x2:
            with vs.polyval(polynomials[0], x2) as values:
                got.append((values.dtype, values.shape, gathered(values)))
    expected = []
    with np.errstate(invalid="ignore", over="ignore"):  # 0 * inf, and 1e300 ** 4
        for xs in cases:
            v = xs.astype(np.float64)
            expected += [np.polyval(p, v) for _ in range(4) for p in polynomials]
            expected.append(np.polyval(polynomials[0], v[: len(v) // 2 * 2].reshape(-1, 2)))
    assert len(got) == len(expected)
    for (dtype, shape, values), want in zip(got, expected):
        assert dtype == np.float64 and shape == want.shape and values.shape == want.shape
        assert values.tobytes() == want.tobytes()


def test_polyval_of_numbers_is_local_and_numpy_polyval_bitwise():
    cases, polynomials = polyval_cases()
    assert vs.polyval([2.0, -1.0, 0.5], 3.0) == np.polyval([2.0, -1.0, 0.5], 3.0)
    assert isinstance(vs.polyval([2.0, -1.0, 0.5], 3.0), float)
    for xs in cases:
        for p in polynomials:
            got = vs.polyval(p, xs.reshape(-1, 1))
            with np.errstate(invalid="ignore", over="ignore"):
                want = np.polyval(p, xs.astype(np.float64).reshape(-1, 1))
            assert got.shape == (len(xs), 1) and got.tobytes() == want.tobytes()


def test_library_messages_become_the_same_warnings_everywhere():
    with vs.zeros(0) as empty:
        with pytest.warns(RuntimeWarning, match="Mean of empty slice") as caught:
            median = vs.median(empty)
        with pytest.raises(IndexError, match="empty"):  # NumPy's refusal of quantiles of nothing
            vs.quantile(empty, [0.5, 0.9])
        with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
            mean = vs.mean(empty)
    with vs.full(10, 3.0) as flat, vs.from_local(block(np.arange(10.0), WORLD, "even")) as y:
        with warnings.catch_warnings(record=True) as fitted:  # the module's own warning, not the library's
            warnings.simplefilter("always")
            singular = vs.polyfit(flat, y, 1)
    texts = [str(w.message) for w in caught]
    assert texts == ["Mean of empty slice.", "invalid value encountered in scalar divide"]  # NumPy's two
    assert math.isnan(median) and math.isnan(mean)
    assert [w.category.__name__ for w in fitted] == ["RankWarning"] and singular.tolist() == [0.0, 4.5]
    assert same_everywhere("\n".join(texts).encode())


def test_a_warning_made_an_error_is_raised_everywhere():
    with vs.zeros(0) as empty, warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="Mean of empty slice"):
            vs.median(empty)


def test_arguments_are_refused_before_any_communication():
    xs, ys, _ = data(np.float64, 20)
    with vs.from_local(block(xs, WORLD, "even")) as x, vs.from_local(block(ys[:10], WORLD, "even")) as short, \
            vs.full(20, 1.0, dtype=np.float32) as x32:
        with pytest.raises(ValueError, match="nbins"):
            vs.histogram_above_lower(x, 0.0, 1.0, -1)
        with pytest.raises(ValueError, match="two bin centres"):
            vs.bin_data(x, x, [1.0])
        with pytest.raises(TypeError, match="float64"):
            vs.bin_data(x32, x, CENTRES)
        with pytest.raises(ValueError, match="number of elements"):
            vs.bin_data(x, short, CENTRES)
        with pytest.raises(ValueError, match="order"):
            vs.polyfit(x, x, -1)
        with pytest.raises(ValueError, match="shape"):
            vs.polyfit(x, short, 1)
        with pytest.raises(ValueError, match="shape"):
            vs.mean(x, weights=short)
        with pytest.raises(ValueError, match=r"range \[0, 1\]"):
            vs.quantile(x, [0.5, 1.5])
        with pytest.raises(ValueError, match=r"range \[0, 1\]"):
            vs.quantile(x, float("nan"))
        with pytest.raises(TypeError, match="dtype"):
            vs.mean(np.zeros(3, dtype=np.complex128))


@pytest.mark.skipif(WORLD.size == 1, reason="needs a communicator other than the world's processes")
def test_arrays_over_other_processes_do_not_pair():
    with vs.zeros(4) as a, vs.zeros(4, comm=MPI.COMM_SELF) as own:
        with pytest.raises(ValueError, match="communicator"):
            vs.std(a, weights=own)
        with pytest.raises(ValueError, match="same processes"):
            vs.bin_data(own, a, CENTRES)
