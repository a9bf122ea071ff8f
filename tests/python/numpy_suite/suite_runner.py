"""Runs installed test files of a package under pytest on every rank of the job.

Both suites (NumPy's reductions and histograms here, SciPy's binned
statistics in ../scipy_suite) use it: the package's functions are replaced
by the suite's shim.py, and suite_plugin.py keeps one verdict per test
against the suite's expected_failures.txt and prints the summary on rank 0.
Arguments: --write-expected rewrites expected_failures.txt for this rank
count and counted_out.txt (regenerate.sh runs it at 1, 2 and 3 ranks); test
paths among the other arguments replace the suite's default selection; the
rest go to pytest. The exit status is pytest's, the same on every rank; a
rank where pytest could not run ends the job with MPI_Abort.
"""
import os
import sys
import time

sys.dont_write_bytecode = True

from mpi4py import MPI  # noqa: E402

import pytest  # noqa: E402

PLUGIN_FOLDER = os.path.dirname(os.path.abspath(__file__))


def run_suite(suite_folder, package_folder, selection, ignored_arguments=()):
    """Runs `selection` (paths under `package_folder`) with the shim and the
    lists of `suite_folder`; returns pytest's exit status."""
    # The suite's folder first: the plugin imports that suite's shim as `shim`.
    for folder in (PLUGIN_FOLDER, suite_folder):
        while folder in sys.path:
            sys.path.remove(folder)
        sys.path.insert(0, folder)
    world = MPI.COMM_WORLD
    args = [a for a in sys.argv[1:] if a != "--write-expected" and a not in ignored_arguments]
    if any(not a.startswith("-") for a in args):
        selection = []
    pytest_args = ["-p", "no:cacheprovider", "-p", "suite_plugin", "--rootdir", package_folder, "-q", "--color=no",
                   "--tb=line", "-W", "ignore::pytest.PytestUnraisableExceptionWarning",
                   "--suite-expected", os.path.join(suite_folder, "expected_failures.txt"),
                   "--suite-counted-out", os.path.join(suite_folder, "counted_out.txt")]
    if "--write-expected" in sys.argv:
        pytest_args.append("--suite-write")
    if world.rank != 0:
        sys.stdout = open(os.devnull, "w")
    pytest_args += args + [os.path.join(package_folder, s) for s in selection]
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
