"""The communicator of a reduction or quantile call: an Array's own, so that
comm= given with an Array is refused on every rank, before any collective,
naming the function called; the NumPy form of the same rows over comm gives
the Array's result."""
import re

import numpy as np
import pytest

import virdastatistics as vs
from mpi_data import WORLD, block, same_everywhere

ROWS = np.arange(24.0).reshape(8, 3)
WEIGHTS = np.linspace(1.0, 2.0, 24).reshape(8, 3)

# (name, call on a's values and its weights' values with **comm): one per
# path that reads the call's communicator.
CALLS = [
    ("sum", lambda a, w, **c: vs.sum(a, axis=0, **c)),
    ("nanmean", lambda a, w, **c: vs.nanmean(a, **c)),
    ("std", lambda a, w, **c: vs.std(a, axis=(0, 1), **c)),
    ("ptp", lambda a, w, **c: vs.ptp(a, axis=0, **c)),
    ("argmax", lambda a, w, **c: vs.argmax(a, **c)),
    ("count_nonzero", lambda a, w, **c: vs.count_nonzero(a, axis=0, **c)),
    ("average", lambda a, w, **c: vs.average(a, axis=0, weights=w, **c)),
    ("average", lambda a, w, **c: vs.average(a, weights=w, returned=True, **c)),
    ("median", lambda a, w, **c: vs.median(a, axis=0, **c)),
    ("nanpercentile", lambda a, w, **c: vs.nanpercentile(a, [10, 90], **c)),
    ("quantile", lambda a, w, **c: vs.quantile(a, 0.5, axis=0, method="inverted_cdf", weights=w, **c)),
]


@pytest.mark.parametrize("layout", ["even", "last"])
def test_comm_with_an_array_is_refused_naming_the_function(layout):
    with vs.from_local(block(ROWS, WORLD, layout)) as a, vs.from_local(block(WEIGHTS, WORLD, layout)) as w:
        for name, call in CALLS:
            with pytest.raises(TypeError, match="^" + re.escape(name + ": comm is for NumPy arrays")):
                call(a, w, comm=WORLD)
            # Refused before any collective: the ranks go on together.
            from_array = call(a, w)
            from_numpy = call(block(ROWS, WORLD, layout), block(WEIGHTS, WORLD, layout), comm=WORLD)
            np.testing.assert_array_equal(np.asarray(from_array, dtype=object).tolist(),
                                          np.asarray(from_numpy, dtype=object).tolist())
            assert same_everywhere(np.asarray(from_numpy, dtype=float))
