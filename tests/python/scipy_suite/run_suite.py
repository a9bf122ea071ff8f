"""SciPy's own tests of the binned statistics, with the module answering them.

Usage: mpiexec -n N /usr/bin/python3 run_suite.py [--write-expected] [pytest arguments...]

Runs SciPy's installed test_binned_statistic.py on every rank, SciPy's
functions replaced by shim.py (the module on points split over the ranks),
with the NumPy suite's plugin (numpy_suite/suite_plugin.py) keeping one
verdict per test against expected_failures.txt and printing the summary on
rank 0. --write-expected rewrites expected_failures.txt for this rank count
and counted_out.txt (run it at 1, 2 and 3 ranks: regenerate.sh). The exit
status is pytest's, the same on every rank; a rank where pytest could not run
ends the job with MPI_Abort.
"""
import os
import sys
import time

sys.dont_write_bytecode = True

HERE = os.path.dirname(os.path.abspath(__file__))
# This folder first: the plugin imports this suite's shim as `shim`.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "numpy_suite"))
sys.path.insert(0, HERE)

from mpi4py import MPI  # noqa: E402

import pytest  # noqa: E402
import scipy  # noqa: E402

SCIPY = os.path.dirname(scipy.__file__)
TESTS = ["stats/tests/test_binned_statistic.py"]


def main():
    world = MPI.COMM_WORLD
    args = [a for a in sys.argv[1:] if a != "--write-expected"]
    selection = [] if any(not a.startswith("-") for a in args) else TESTS
    pytest_args = ["-p", "no:cacheprovider", "-p", "suite_plugin", "--rootdir", SCIPY, "-q", "--color=no",
                   "--tb=line", "-W", "ignore::pytest.PytestUnraisableExceptionWarning",
                   "--suite-expected", os.path.join(HERE, "expected_failures.txt"),
                   "--suite-counted-out", os.path.join(HERE, "counted_out.txt")]
    if "--write-expected" in sys.argv:
        pytest_args.append("--suite-write")
    if world.rank != 0:
        sys.stdout = open(os.devnull, "w")
    pytest_args += args + [os.path.join(SCIPY, s) for s in selection]
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
