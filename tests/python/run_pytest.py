"""Runs pytest on every rank of an MPI job (tests/python/CMakeLists.txt).

Usage: mpiexec -n N python3 run_pytest.py [pytest arguments...]

Every rank runs the same tests in the same order (conftest.py keeps their
verdicts together); rank 0 prints pytest's report, the other ranks only their
own failures, tagged [rank N]. The exit status is pytest's, the same on every
rank. A rank where pytest could not run the tests (a usage or internal error,
different tests collected) ends the whole job with MPI_Abort: the other ranks
would otherwise wait for it in a collective, and it for them in MPI_Finalize.
Nothing is written into the source tree (no cache, no bytecode).
"""
import os
import sys
import time

sys.dont_write_bytecode = True

from mpi4py import MPI  # noqa: E402  (MPI first: pytest's plugins may import anything)

import pytest  # noqa: E402


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    world = MPI.COMM_WORLD
    args = ["-p", "no:cacheprovider", "--rootdir", here, "-q", "--color=no"]
    if world.rank != 0:
        sys.stdout = open(os.devnull, "w")  # pytest's report; failures go to stderr (conftest.py)
    args += sys.argv[1:]
    if all(a.startswith("-") for a in sys.argv[1:]):
        args.append(here)
    status = int(pytest.main(args))
    if status not in (pytest.ExitCode.OK, pytest.ExitCode.TESTS_FAILED):
        sys.stderr.write(f"[rank {world.rank}] pytest could not run the tests (status {status}); ending the job\n")
        sys.stderr.flush()
        world.Abort(status)
    sys.stderr.flush()
    world.Barrier()
    if status != pytest.ExitCode.OK:
        # Open MPI's launcher ends the job as soon as one process leaves with
        # a failure status, dropping what the others wrote and it has not yet
        # passed on: a pause lets every rank's report out first.
        time.sleep(1)
    return status


if __name__ == "__main__":
    sys.exit(main())
