"""pytest under MPI: one verdict per test for all ranks.

Every rank runs every test; after each phase of a test (setup, call,
teardown) the ranks share whether it failed, and a phase that failed on any
rank fails on every rank, naming the ranks. So all ranks go on to the same
next test, and the job's exit status says whether any rank failed. Tests
must reach their collective calls on every rank before asserting (an assert
that fails before a collective leaves the other ranks waiting in it, until
MPIEXEC_TIMEOUT ends the job).

Ranks other than 0 print their own failures on standard error, tagged
[rank N] (rank 0 prints pytest's report).

After every test, each rank collects its garbage; a test that leaves arrays
behind fails.
"""
import gc
import sys

import pytest
from mpi4py import MPI

import virdastatistics as vs

WORLD = MPI.COMM_WORLD


def pytest_collection_modifyitems(session, config, items):
    """Every rank must run the same tests, in the same order."""
    names = [item.nodeid for item in items]
    if any(other != names for other in WORLD.allgather(names)):
        raise pytest.UsageError(f"rank {WORLD.rank}: the ranks collected different tests")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    failed = WORLD.allgather(bool(report.failed))
    if report.failed and WORLD.rank != 0:
        sys.stderr.write(f"[rank {WORLD.rank}] {report.nodeid} ({report.when}) failed:\n{report.longrepr}\n")
    if any(failed) and not report.failed:
        ranks = ", ".join(str(r) for r, f in enumerate(failed) if f)
        report.outcome = "failed"
        report.longrepr = f"{report.nodeid} ({report.when}) failed on rank(s) {ranks}"


@pytest.fixture(autouse=True)
def no_arrays_left():
    """Fails a test that leaves arrays over MPI.COMM_WORLD behind."""
    before = vs.live_arrays()
    yield
    gc.collect()
    assert vs.live_arrays() == before, "arrays over COMM_WORLD left behind"
