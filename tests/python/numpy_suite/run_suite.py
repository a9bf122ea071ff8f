"""NumPy's own tests of the reductions, with the module answering them.

Usage: mpiexec -n N /usr/bin/python3 run_suite.py [--write-expected] [--histograms] [pytest arguments...]

Runs the test classes below from NumPy's installed test files on every rank,
NumPy's functions replaced by shim.py (the module on data split over the
ranks), with suite_plugin.py keeping one verdict per test and printing the
summary on rank 0. Without test paths among the arguments it runs CLASSES;
the histogram classes of test_histograms.py are among them (--histograms is
kept and changes nothing). --write-expected rewrites
expected_failures.txt for this rank count and counted_out.txt (run it at 1, 2
and 3 ranks). The exit status is pytest's, the same on every rank; a rank
where pytest could not run ends the job with MPI_Abort.
"""
import os
import sys
import time

sys.dont_write_bytecode = True

from mpi4py import MPI  # noqa: E402

import numpy  # noqa: E402
import pytest  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
NUMPY = os.path.dirname(numpy.__file__)

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
]
HISTOGRAMS = ["lib/tests/test_histograms.py"]


def main():
    world = MPI.COMM_WORLD
    args = [a for a in sys.argv[1:] if a not in ("--write-expected", "--histograms")]
    selection = [] if any(not a.startswith("-") for a in args) else CLASSES + HISTOGRAMS
    sys.path.insert(0, HERE)
    pytest_args = ["-p", "no:cacheprovider", "-p", "suite_plugin", "--rootdir", NUMPY, "-q", "--color=no", "--tb=line",
                   "-W", "ignore::pytest.PytestUnraisableExceptionWarning"]
    if "--write-expected" in sys.argv:
        pytest_args.append("--suite-write")
    if world.rank != 0:
        sys.stdout = open(os.devnull, "w")
    pytest_args += args + [os.path.join(NUMPY, s) for s in selection]
    status = int(pytest.main(pytest_args))
    if status not in (pytest.ExitCode.OK, pytest.ExitCode.TESTS_FAILED):
        sys.stderr.write(f"[rank {world.rank}] pytest could not run the tests (status {status}); ending the job\n")
        sys.stderr.flush()
        world.Abort(status)
    sys.stderr.flush()
    world.Barrier()
    if status != pytest.ExitCode.OK:
        time.sleep(1)  # let every rank's report out before the launcher ends the job
    return status


if __name__ == "__main__":
    sys.exit(main())
