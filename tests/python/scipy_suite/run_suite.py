"""SciPy's own tests of the binned statistics, with the module answering them.

Usage: mpiexec -n N /usr/bin/python3 run_suite.py [--write-expected] [pytest arguments...]

Runs SciPy's installed test_binned_statistic.py on every rank, SciPy's
functions replaced by shim.py (the module on points split over the ranks),
by the NumPy suite's runner (numpy_suite/suite_runner.py) with this
folder's lists.
"""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "numpy_suite"))

import scipy  # noqa: E402

from suite_runner import run_suite  # noqa: E402

if __name__ == "__main__":
    sys.exit(run_suite(os.path.dirname(os.path.abspath(__file__)), os.path.dirname(scipy.__file__),
                       ["stats/tests/test_binned_statistic.py"]))
