"""pytest plugin of the NumPy-suite runner (run_suite.py): NumPy's tests with
the reductions answered by the module (shim.py), one verdict per test on
every rank.

Per test it records which functions the test reached in scope (answered by
the module) and out of scope (left to NumPy, with the reason). A test that
reaches no in-scope call is counted out. A counted-in test listed in the
expected-failures file for this rank count is an expected failure when it
fails and fails the run when it passes; any other failure fails the run.
Rank 0 prints a summary per function and per test class at the end.
"""
import collections
import os
import random
import sys
import zlib

import numpy as np
import pytest

import shim

WORLD = shim.WORLD
HERE = os.path.dirname(os.path.abspath(__file__))


def pytest_addoption(parser):
    group = parser.getgroup("numpy suite")
    group.addoption("--suite-expected", default=os.path.join(HERE, "expected_failures.txt"),
                    help="expected-failures file (nodeid [np=R,...]  # reason)")
    group.addoption("--suite-counted-out", default=os.path.join(HERE, "counted_out.txt"),
                    help="list of the tests counted out, with the reason")
    group.addoption("--suite-write", action="store_true",
                    help="rewrite both files from this run's results at this rank count")


def parse_list(path):
    """{nodeid: (set of rank counts or None for all, reason)} of a list file."""
    entries = {}
    if not os.path.exists(path):
        return entries
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            left, _, reason = line.partition("  # ")
            left = left.strip()
            ranks = None
            head, _, last = left.rpartition(" ")
            if head and last.startswith("np="):
                left, ranks = head.strip(), {int(r) for r in last[3:].split(",")}
            entries[left] = (ranks, reason.strip())
    return entries


def write_list(path, header, entries, all_ranks=(1, 2, 3)):
    with open(path, "w") as f:
        f.write(header)
        for nodeid in sorted(entries):
            ranks, reason = entries[nodeid]
            qualifier = "" if ranks is None or ranks >= set(all_ranks) else \
                " np=" + ",".join(str(r) for r in sorted(ranks))
            f.write(f"{nodeid}{qualifier}  # {reason}\n")


class Suite:
    def __init__(self, config):
        self.config = config
        self.expected = parse_list(config.getoption("suite_expected"))
        self.results = {}   # nodeid -> [status, in-scope functions, reason]

    def listed(self, nodeid):
        entry = self.expected.get(nodeid)
        return entry is not None and (entry[0] is None or WORLD.size in entry[0])


def pytest_configure(config):
    shim.install()
    shim.install_histograms()
    np.random.seed(0)   # data made at import, the same on every rank
    random.seed(0)
    config.pluginmanager.register(Suite(config), "numpy_suite_state")


def _suite(config):
    return config.pluginmanager.get_plugin("numpy_suite_state")


def pytest_collection_modifyitems(session, config, items):
    names = [item.nodeid for item in items]
    if any(other != names for other in WORLD.allgather(names)):
        raise pytest.UsageError(f"rank {WORLD.rank}: the ranks collected different tests")
    for module in {item.module for item in items if getattr(item, "module", None)}:
        shim.rebind(module)


def pytest_collection_finish(session):
    # After NumPy's conftest chose its profile: deterministic examples on
    # every rank, no shrinking (a failure shrunk on one rank only would
    # make calls the other ranks do not), fewer examples.
    import hypothesis
    hypothesis.settings.register_profile(
        "mpi-suite", deadline=None, database=None, derandomize=True, max_examples=25,
        phases=[hypothesis.Phase.explicit, hypothesis.Phase.reuse, hypothesis.Phase.generate],
        suppress_health_check=list(hypothesis.HealthCheck))
    hypothesis.settings.load_profile("mpi-suite")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    shim.RECORDER.reset()
    seed = zlib.crc32(item.nodeid.encode())
    np.random.seed(seed)
    random.seed(seed)


def _short(report, call):
    if call.excinfo is None:
        return str(report.longrepr).splitlines()[-1][:160] if report.longrepr else "failed"
    e = call.excinfo.value
    lines = [ln.strip() for ln in str(e).splitlines() if ln.strip()]
    text = lines[0] if lines else ""
    if isinstance(e, AssertionError) and len(lines) > 1 and "not" in text.lower():
        text = f"{text}: {lines[1]}"
    return f"{type(e).__name__}: {text}"[:160]


def _counted_out_reason():
    reasons = sorted({reason for (_, reason) in shim.RECORDER.out_of_scope})
    return "; ".join(reasons) if reasons else "reaches none of the functions"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    failed = WORLD.allgather(bool(report.failed))
    own_failure = report.longrepr if report.failed else None
    _verdict(item, call, report, failed)
    if own_failure is not None and report.failed and WORLD.rank != 0:
        sys.stderr.write(f"[rank {WORLD.rank}] {report.nodeid} ({report.when}) failed:\n{own_failure}\n")


def _verdict(item, call, report, failed):
    suite = _suite(item.config)
    reason = _short(report, call) if report.failed else ""
    if any(failed) and not report.failed:
        ranks = ", ".join(str(r) for r, f in enumerate(failed) if f)
        report.outcome = "failed"
        report.longrepr = f"{report.nodeid} ({report.when}) failed on rank(s) {ranks}"
        reason = f"failed on rank(s) {ranks} only"
    record = suite.results.setdefault(report.nodeid, ["passed", {}, ""])
    if report.skipped or hasattr(report, "wasxfail"):
        record[0] = "skipped"
        return
    if report.when == "call":
        record[1] = dict(shim.RECORDER.in_scope)
        if not record[1]:
            record[0], record[2] = "counted out", _counted_out_reason()
    if not report.failed and report.when != "call" or record[0] == "failed":
        return
    listed = suite.listed(report.nodeid)
    if report.failed:
        if record[0] != "counted out" and listed:
            record[0], record[2] = "xfailed", reason
            report.outcome = "skipped"
            report.wasxfail = suite.expected[report.nodeid][1]
        else:
            record[0], record[2] = "failed", reason
    elif listed:
        why = "reaches no in-scope call" if record[0] == "counted out" else "passes"
        record[0], record[2] = "failed", f"listed as an expected failure but {why}"
        report.outcome = "failed"
        report.longrepr = f"{report.nodeid} {record[2]} (remove it from {os.path.basename(item.config.getoption('suite_expected'))})"


def _table(title, rows, header):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    lines = [title, "  ".join(h.ljust(w) for h, w in zip(header, widths))]
    lines += ["  ".join(str(x).ljust(w) for x, w in zip(row, widths)) for row in rows]
    return lines


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    suite = _suite(config)
    per_function = collections.defaultdict(lambda: [0, 0, 0])
    per_class = collections.defaultdict(collections.Counter)
    causes = collections.Counter()
    for nodeid, (status, functions, reason) in suite.results.items():
        per_class[nodeid.rsplit("::", 1)[0]][status] += 1
        if status in ("failed", "xfailed"):
            causes[reason[:100]] += 1
        if status in ("counted out", "skipped"):
            continue
        for name in functions:
            per_function[name][0 if status == "passed" else 1 if status == "failed" else 2] += 1
    statuses = ("passed", "failed", "xfailed", "counted out", "skipped")
    lines = [f"NumPy suite at {WORLD.size} rank(s): in-scope calls answered by the module"]
    lines += _table("per function (tests reaching it):",
                    [(n, *per_function[n]) for n in sorted(per_function)],
                    ("function", "passed", "failed", "expected failures"))
    lines += _table("per test class:",
                    [(c, *(per_class[c][s] for s in statuses)) for c in sorted(per_class)],
                    ("class",) + statuses)
    lines += _table("failure causes (tests):", [(n, c) for c, n in causes.most_common(25)], ("tests", "cause"))
    if WORLD.rank == 0:
        for line in lines:
            terminalreporter.write_line(line)
    if config.getoption("suite_write"):
        _write(config, suite)


def _write(config, suite):
    """Rewrite the expected failures for this rank count and the counted-out list (rank 0)."""
    if WORLD.rank != 0:
        return
    path = config.getoption("suite_expected")
    entries = parse_list(path)
    for nodeid, (status, _, reason) in suite.results.items():
        ranks, old_reason = entries.pop(nodeid, (set(), ""))
        ranks = ({1, 2, 3} if ranks is None else set(ranks)) - {WORLD.size}
        if status in ("failed", "xfailed"):
            ranks.add(WORLD.size)
            old_reason = reason or old_reason
        if ranks:
            entries[nodeid] = (ranks, old_reason)
    write_list(path, "# NumPy tests that fail with the module answering (run_suite.py --write-expected\n"
                     "# at 1, 2 and 3 ranks rewrites this): nodeid [np=rank counts]  # cause\n", entries)
    path = config.getoption("suite_counted_out")
    entries = parse_list(path)
    for nodeid, (status, _, reason) in suite.results.items():
        entries.pop(nodeid, None)
        if status == "counted out":
            entries[nodeid] = (None, reason)
    write_list(path, "# NumPy tests counted out: they reach no call the module answers\n"
                     "# (out-of-scope data goes to NumPy): nodeid  # why\n", entries)
