"""Arguments NumPy refuses are refused, on every rank alike and before any
communication (a refusal that communicated would leave the array count or the
ranks out of step): non-numbers, shapes NumPy does not take, empty or
non-finite histogram ranges and bin spacings, weights that sum to zero,
masked elements."""
import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block, x_of

CENTRES = [2.5 + 5.0 * k for k in range(20)]


@pytest.fixture
def data():
    xs = x_of(np.arange(40))
    with vs.from_local(block(xs, WORLD, "ramp")) as x:
        yield x


def refused(error, match, call):
    """`call` raises `error` (whose text matches) and leaves the arrays as
    they were; every rank is still in step afterwards."""
    before = vs.live_arrays()
    with pytest.raises(error, match=match):
        call()
    assert vs.live_arrays() == before
    assert WORLD.allreduce(1) == WORLD.size


@pytest.mark.parametrize("q", [0.5 + 0.5j, {0.5: 1}, [0.5, "x"], "abc", "0.5", None, np.datetime64("2000")])
def test_probabilities_that_are_not_real_numbers(data, q):
    refused(TypeError, "quantile: q", lambda: vs.quantile(data, q))


def test_ragged_probabilities(data):
    refused(ValueError, "quantile: q", lambda: vs.quantile(data, [0.1, [0.2, 0.3]]))


@pytest.mark.parametrize("p, error", [([1.0 + 1j, 2.0], TypeError), (["1", "2"], TypeError),
                                      (np.ones((2, 2)), ValueError), (3.0, TypeError)])
def test_polyval_coefficients_as_numpy_takes_them(data, p, error):
    refused(error, "polyval: p", lambda: vs.polyval(p, data))
    refused(error, "polyval: p", lambda: vs.polyval(p, np.arange(3.0)))


def test_polyval_of_local_numbers_that_are_not_real(data):
    refused(TypeError, "polyval: x", lambda: vs.polyval([1.0, 2.0], 1 + 2j))
    refused(TypeError, "polyval: x", lambda: vs.polyval([1.0, 2.0], "abc"))


def test_polyval_keeps_the_mask_of_local_numbers():
    x = np.ma.masked_array([1.0, 2.0, 3.0], mask=[False, True, False])
    got = vs.polyval([2.0, 1.0], x)
    want = np.polyval([2.0, 1.0], x)
    assert isinstance(got, np.ma.MaskedArray)
    assert np.array_equal(np.ma.getmaskarray(got), [False, True, False])
    assert np.array_equal(got.compressed(), want.compressed())


@pytest.mark.parametrize("centres, error", [([1.0 + 0j, 2.0 + 1j], TypeError), (["a", "b", "c"], TypeError),
                                            ([[0.0, 1.0], [2.0, 3.0]], ValueError)])
def test_centres_that_are_not_a_row_of_real_numbers(data, centres, error):
    refused(error, "bin_data: centres", lambda: vs.bin_data(data, data, centres))


@pytest.mark.parametrize("centres", [[1.0, 1.0, 1.0], [1.0, np.nan, 3.0], [np.nan, 1.0], [0.0, np.inf],
                                     [np.inf, np.inf]])
def test_bin_spacing_must_be_finite_and_not_zero(data, centres):
    refused(ValueError, "bin_data: ", lambda: vs.bin_data(data, data, centres))


@pytest.mark.parametrize("lower, width, nbins, match", [
    (0.0, 0.0, 5, "width"), (0.0, -1.0, 5, "width"), (0.0, np.nan, 5, "not finite"),
    (np.nan, 1.0, 5, "not finite"), (-np.inf, 1.0, 5, "not finite"), (np.inf, 1.0, 5, "not finite"),
    (0.0, 1e308, 5, "not finite"),  # the top edge overflows
])
def test_histogram_ranges_numpy_refuses(data, lower, width, nbins, match):
    refused(ValueError, f"histogram: .*{match}", lambda: vs.histogram_above_lower(data, lower, width, nbins))


def test_masked_probabilities_are_refused(data):
    q = np.ma.masked_array([0.1, 0.5], mask=[False, True])
    refused(ValueError, "quantile: q .*masked", lambda: vs.quantile(data, q))
    assert vs.quantile(data, np.ma.masked_array([0.1, 0.5])) == pytest.approx(np.quantile(x_of(np.arange(40)),
                                                                                          [0.1, 0.5]))


def test_weights_that_sum_to_zero(data):
    signs = np.where(np.arange(40) % 2 == 0, 1.0, -1.0)
    for ws in [np.zeros(40), signs]:
        with vs.from_local(block(ws, WORLD, "even")) as w:
            refused(ZeroDivisionError, "mean: .*sum to zero", lambda: vs.mean(data, weights=w))
            refused(ZeroDivisionError, "std: .*sum to zero", lambda: vs.std(data, weights=w))
    with vs.from_local(block(np.ones(40), WORLD, "first")) as w:
        assert vs.mean(data, weights=w) == vs.mean(data)


def test_a_masked_block_is_refused():
    mine = np.ma.masked_array(np.arange(4.0), mask=[True, False, False, False])
    refused(ValueError, "from_local: .*masked", lambda: vs.from_local(mine))
    with vs.from_local(np.ma.masked_array(np.arange(4.0))) as a:  # nothing masked: the data as they are
        assert a.shape == (4 * WORLD.size,)


def test_astype_of_a_freed_array_creates_nothing():
    a = vs.zeros(4)
    a.free()
    refused(ValueError, "freed", lambda: a.astype("float32"))
    refused(ValueError, "freed", lambda: vs.polyval([1.0], a))
