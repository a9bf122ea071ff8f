"""NumPy arrays of every layout, byte-order spelling and class are read as
NumPy reads them: the short paths taken for plain native arrays give what
the general ones give."""
import sys

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere, x_of

XS = x_of(np.arange(203))
Q = np.array([[0.05, 0.25, 0.5], [0.75, 0.95, 1.0]])


class Tagged(np.ndarray):
    """A subclass with nothing to honour but its class."""


@pytest.mark.parametrize("q", [Q, np.asfortranarray(Q), Q.T, Q[:, ::-1],
                               Q.astype(">f8"), np.array([0, 1]), np.array([True, False]), Q.view(Tagged),
                               np.ma.masked_array(Q)])
def test_probabilities_in_any_layout_and_type(q):
    got = vs.quantile(block(XS, WORLD, "ramp"), q)
    expected = np.quantile(XS, np.asarray(q))
    assert got.dtype == expected.dtype and got.shape == expected.shape
    assert np.array_equal(got, expected) and same_everywhere(got)


@pytest.mark.parametrize("dtype", ["<f8", "=f8", "<f4", "=i4", "|u1", "|i1"] if sys.byteorder == "little"
                         else [">f8", "=f8", ">f4", "=i4", "|u1", "|i1"])
def test_native_byte_order_spellings_are_read(dtype):
    values = (XS % 100).astype(dtype)
    for x in (block(values, WORLD, "ramp"), block(values, WORLD, "ramp").view(Tagged)):
        got = vs.median(x)
        assert got == np.median(values) and type(got) is type(np.median(values))


def test_median_after_other_quantiles_keeps_its_probability():
    x = block(XS, WORLD, "last")
    first = vs.median(x)
    vs.percentile(x, 90.0)
    vs.quantile(x, [0.0, 1.0])
    assert vs.median(x) == first == np.median(XS)
    assert vs.median(block(XS[:10], WORLD, "first")) == np.median(XS[:10])
