"""The statistics of NumPy arrays of this rank's values over a communicator
(comm=): against NumPy on the gathered data, bitwise where the results are
exact; every dtype the engine reads, any strides read in place; refusals
before any communication; halves of a split communicator; more than 2^31
values on one rank; errors agreed over the ranks."""
import math

import numpy as np
import pytest
from mpi4py import MPI

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere, x_of

N = 1003
PROBABILITIES = [0.0, 0.1, 0.25, 0.5, 0.9, 1.0]
INTEGERS = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


def values(dtype, n=N):
    x = x_of(np.arange(n))
    if np.dtype(dtype).kind == "f":
        return (x - 40.0).astype(dtype)
    info = np.iinfo(dtype)
    low = max(info.min, -1000)
    return (low + np.floor(x * (min(info.max, 1000) - low) / 100.0)).astype(dtype)


def statistics(a, comm=WORLD):
    try:
        quantiles = vs.quantile(a, PROBABILITIES, comm=comm)
    except IndexError:  # NumPy's refusal of quantiles of nothing, on every rank
        quantiles = None
    return (vs.mean(a, comm=comm), vs.std(a, comm=comm), vs.median(a, comm=comm),
            quantiles, vs.histogram_above_lower(a, -50.0, 7.5, 20, comm=comm))


def expected(given):
    """NumPy's results; quantiles interpolated in float32 for float32 values,
    as NumPy does."""
    v = np.asarray(given, dtype=np.float64)
    own = given if np.asarray(given).dtype == np.float32 else v
    inside = v[v > -50.0]
    k = np.floor((inside + 50.0) / 7.5)
    hist = np.bincount(k[k < 20].astype(np.int64), minlength=20)
    return math.fsum(v) / len(v), np.std(v), float(np.median(own)), np.quantile(own, PROBABILITIES), hist


def check(got, v):
    mean, std, median, quantiles, hist = got
    want = expected(v)
    if np.asarray(v).dtype == np.float32:  # NumPy's result dtype: the exact mean rounded to float32
        assert type(mean) is np.float32 and mean == np.float32(want[0])
        assert std == pytest.approx(want[1], rel=1e-6)
    else:
        assert mean == want[0]
        assert std == pytest.approx(want[1], rel=1e-14)
    if np.asarray(v).dtype == np.float32:  # interpolated in float32: NumPy's rounding differs at times
        assert median == pytest.approx(want[2], rel=1e-6)
        assert quantiles == pytest.approx(want[3], rel=1e-6)
    else:
        assert median == want[2]
        assert np.array_equal(quantiles, want[3])
    assert hist.dtype == np.int64 and np.array_equal(hist, want[4])


@pytest.mark.parametrize("dtype", [np.float64, np.float32] + INTEGERS)
@pytest.mark.parametrize("how", ["even", "first", "ramp"])
def test_every_dtype_against_numpy_on_the_gathered_values(dtype, how):
    xs = values(dtype)
    got = statistics(block(xs, WORLD, how))
    check(got, xs)
    assert same_everywhere(b"".join(np.asarray(r).tobytes() for r in got))


def test_the_same_bits_as_an_array_of_the_same_values():
    for dtype in [np.float64, np.float32, np.int32]:
        xs = values(dtype)
        mine = block(xs, WORLD, "ramp")
        with vs.from_local(mine) as a:
            from_array = [vs.mean(a), vs.std(a), vs.median(a), vs.quantile(a, PROBABILITIES),
                          vs.histogram_above_lower(a, -50.0, 7.5, 20)]
        from_numpy = statistics(mine)
        assert [np.asarray(r).tobytes() for r in from_numpy] == [np.asarray(r).tobytes() for r in from_array]


def strided_views(xs):
    """Views of this rank's values in place: reversed, stepped, 2-D in either
    order, a transposed and a sliced 3-D one, and a broadcast one."""
    table = xs[: len(xs) // 6 * 6]
    return [
        xs[::-1],
        xs[1::3],
        xs[::-7],
        table.reshape(-1, 6),
        table.reshape(-1, 6).T,
        np.asfortranarray(table.reshape(-1, 3)),
        table.reshape(-1, 2, 3)[:, ::-1, 1:],
        table.reshape(2, -1, 3).transpose(2, 0, 1)[::2],
        np.broadcast_to(xs[:5], (7, 5)),
        np.broadcast_to(xs[:1], (3, 4)),
        xs[:0],
    ]


@pytest.mark.filterwarnings("ignore:.*no elements")
@pytest.mark.filterwarnings("ignore:Mean of empty slice")
@pytest.mark.filterwarnings("ignore:Degrees of freedom")
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16, np.uint64])
def test_strided_views_are_read_in_place_as_their_copies(dtype):
    xs = block(values(dtype), WORLD, "ramp")
    for view in strided_views(xs):
        copy = np.ascontiguousarray(view).ravel()
        got = [np.asarray(r).tobytes() for r in statistics(view)]
        want = [np.asarray(r).tobytes() for r in statistics(copy)]
        assert got == want, view.strides
        gathered = np.concatenate(WORLD.allgather(copy))
        if gathered.size:
            check(statistics(view), gathered)


@pytest.mark.parametrize("bad", [np.zeros(3, dtype=bool), np.zeros(3, dtype=np.complex128),
                                 np.zeros(3, dtype=np.float16), np.zeros(3, dtype=">f8"),
                                 np.zeros(3, dtype=np.longdouble), np.array(["a", "b"]),
                                 np.array([None, 1.0], dtype=object)])
def test_other_dtypes_are_refused_before_any_communication(bad):
    # The reductions and the quantiles take bool and float16 as NumPy does,
    # as data and as weights (test_reductions.py, test_quantiles.py).
    # long double data are summed, compared and selected, not yet weighted (test_long_double*.py).
    numpys = bad.dtype in (np.bool_, np.float16)
    long_double = bad.dtype == np.longdouble
    selections = [] if long_double else [lambda: vs.median(bad), lambda: vs.quantile(bad, 0.5)]
    reductions = [] if numpys else selections + [lambda: vs.mean(np.zeros(3), weights=bad)]
    if not numpys and not long_double:
        reductions += [lambda: vs.mean(bad), lambda: vs.std(bad)]
    for call in reductions + [lambda: vs.histogram_above_lower(bad, 0.0, 1.0, 3)]:
        with pytest.raises(TypeError, match="dtype"):
            call()
    assert WORLD.allreduce(1) == WORLD.size


def test_lists_and_masked_arrays():
    assert vs.mean([1, 2, 3]) == 2.0
    assert vs.median(np.ma.masked_array([1.0, 5.0])) == 3.0
    with pytest.raises(ValueError, match="masked"):
        vs.mean(np.ma.masked_array([1.0, 5.0], mask=[True, False]))


def test_comm_is_for_numpy_arrays():
    with vs.zeros(4) as a:
        with pytest.raises(TypeError, match="comm"):
            vs.mean(a, comm=WORLD)
    with pytest.raises(TypeError, match="comm"):
        vs.median(np.zeros(3), comm="world")
    with pytest.raises(ValueError, match="COMM_NULL"):
        vs.median(np.zeros(3), comm=MPI.COMM_NULL)


def test_weights_pair_element_by_element_in_any_layout():
    xs = block(values(np.float64), WORLD, "ramp")
    ws = block(1.0 + np.arange(N) % 5, WORLD, "ramp")
    gx, gw = values(np.float64), 1.0 + np.arange(N) % 5
    mean = math.fsum(gx * gw) / math.fsum(gw)
    assert vs.mean(xs, weights=ws) == mean
    assert vs.std(xs, weights=ws) == pytest.approx(math.sqrt(np.average((gx - mean) ** 2, weights=gw)), rel=1e-13)
    # The same pairs through views of other layouts.
    m = len(xs) // 2 * 2
    x2, w2 = xs[:m].reshape(-1, 2), np.asfortranarray(ws[:m].reshape(-1, 2))
    gotten = vs.mean(x2[::-1], weights=w2[::-1])
    pairs = WORLD.allgather((xs[:m], ws[:m]))
    px, pw = np.concatenate([p[0] for p in pairs]), np.concatenate([p[1] for p in pairs])
    assert gotten == math.fsum(px * pw) / math.fsum(pw)
    with pytest.raises(ValueError, match="shape"):
        vs.mean(xs, weights=ws[:-1] if len(ws) else np.zeros(1))
    with pytest.raises(ZeroDivisionError, match="sum to zero"):
        vs.mean(np.ones(4), weights=np.zeros(4))
    with vs.zeros(4) as a, pytest.raises(TypeError, match="both"):
        vs.mean(a, weights=np.ones(4))


def test_halves_of_a_split_communicator():
    """Each half sees only its own values, computed at once over both."""
    colour = WORLD.rank % 2
    half = WORLD.Split(colour, WORLD.rank)
    xs = values(np.float64) + 1000.0 * colour
    got = statistics(block(xs, half, "ramp"), comm=half)
    half.Free()
    check(got, xs)


def test_empty_everywhere_gives_nan_with_numpys_warning():
    for call, text in [(lambda: vs.mean(np.zeros(0)), r"Mean of empty slice\."),
                       (lambda: vs.std(np.zeros(0, dtype=np.int8)), "Degrees of freedom <= 0 for slice")]:
        with pytest.warns(RuntimeWarning, match=text):
            assert math.isnan(call())
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        assert math.isnan(vs.median(np.zeros((0, 3))))
    assert vs.histogram_above_lower(np.zeros(0), 0.0, 1.0, 2).tolist() == [0, 0]


def test_more_than_2_to_the_31_values_on_every_rank():
    """A broadcast view takes no memory: 2^31 + 5 int8 values per rank,
    counted exactly. (Order statistics read every value: not timed here.)"""
    n = (1 << 31) + 5
    many = np.broadcast_to(np.int8(-7), (n,))
    total = n * WORLD.size
    assert vs.mean(many) == -7.0 and vs.std(many) == 0.0
    assert vs.histogram_above_lower(many, -8.0, 1.0, 2).tolist() == [0, total]
    assert vs.histogram_above_lower(many[::-1], -8.0, 1.0, 2).tolist() == [0, total]
    assert vs.mean(np.broadcast_to(np.int64(2**40), (n,))) == 2.0**40


@pytest.mark.skipif(WORLD.size == 1, reason="needs ranks that disagree")
def test_ranks_with_other_dtypes_fail_on_every_rank():
    mine = np.zeros(3, dtype=np.float32 if WORLD.rank == WORLD.size - 1 else np.float64)
    for call in [lambda: vs.mean(mine), lambda: vs.median(mine)]:
        with pytest.raises(RuntimeError, match="ranks"):
            call()
    assert WORLD.allreduce(1) == WORLD.size
