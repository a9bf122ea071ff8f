"""NumPy's own tests of the reductions, with the module answering them.

Usage: mpiexec -n N /usr/bin/python3 run_suite.py [--write-expected] [--histograms] [pytest arguments...]

Runs the test classes below from NumPy's installed test files on every rank,
NumPy's functions replaced by shim.py (the module on data split over the
ranks), by suite_runner.py. Without test paths among the arguments it runs
CLASSES and test_histograms.py (--histograms is kept and changes nothing).
"""

import os
import sys

sys.dont_write_bytecode = True

import numpy  # noqa: E402

from suite_runner import run_suite  # noqa: E402

CLASSES = [
    "lib/tests/test_function_base.py::TestAverage",
    "lib/tests/test_function_base.py::TestPtp",
    "lib/tests/test_function_base.py::TestPercentile",
    "lib/tests/test_function_base.py::TestQuantile",
    "lib/tests/test_function_base.py::TestMedian",
    "lib/tests/test_nanfunctions.py",
    "core/tests/test_numeric.py::TestNonarrayArgs",
    "core/tests/test_numeric.py::TestStdVar",
    "core/tests/test_numeric.py::TestStdVarComplex",
    "core/tests/test_multiarray.py::TestArgmaxArgminCommon",
    "core/tests/test_multiarray.py::TestArgmax",
    "core/tests/test_multiarray.py::TestArgmin",
    "core/tests/test_multiarray.py::TestMinMax",
    "core/tests/test_multiarray.py::TestStats",
    "lib/tests/test_histograms.py",
]

if __name__ == "__main__":
    sys.exit(run_suite(os.path.dirname(os.path.abspath(__file__)), os.path.dirname(numpy.__file__), CLASSES,
                       ignored_arguments=("--histograms",)))
