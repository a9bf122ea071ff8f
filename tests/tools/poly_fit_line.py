#!/usr/bin/python3
"""Fits y = 2x + 1 (line.h5 of virda_stats_make_test_files: 1000 x evenly over
[0, 10]) with virda-stats poly-fit at orders 0 to 20 and checks that no order
hands out an unusable polynomial without a word.

    /usr/bin/python3 poly_fit_line.py --tool TOOL --fit-error LINE_FIT_ERROR
        --file line.h5 --ranks N [--launcher "mpiexec -n"] [--preflags ...]

Each order either
  - succeeds (exit 0) with finite coefficients whose largest |fit - y| on the
    data is at most 1e-8, or at most 1e-4 when the fit comes with its warning
    (one "virda-stats: warning:" line, and "warning" in the JSON, exactly when
    the condition number it reports exceeds 1e8), or
  - is refused (exit 1) with one message saying that the fit cannot be
    trusted or that the normal equations are singular; orders up to 10 are
    well within reach (condition number below 1e7) and must succeed.
Exit status 0 when every order passes; each order prints a line.
"""
import json
import re
import subprocess
import sys

from tool_launch import launcher, parse_tool_arguments


def check(order, run, fit_error):
    """The problems of one order's run, and a note."""
    warnings = run.stderr.count("virda-stats: warning:")
    errors = run.stderr.count("virda-stats: error:")
    if run.returncode == 1:
        problems = []
        if errors != 1:
            problems.append(f"{errors} error messages, expected exactly one")
        if not re.search("cannot be trusted|normal equations are singular", run.stderr):
            problems.append(f"the message does not say why the fit was refused: {run.stderr}")
        if order <= 10:
            problems.append(f"order {order} refused, but orders up to 10 must be fitted")
        return problems, "refused"
    if run.returncode != 0:
        return [f"exit status {run.returncode} (255 or 110: a hang ended by MPIEXEC_TIMEOUT): {run.stderr}"], ""
    try:
        out = json.loads(run.stdout)
        coefficients, condition = out["coefficients"], out["condition_number"]
    except (ValueError, KeyError):
        return [f"no coefficients or condition_number in the output:\n{run.stdout}"], ""
    warned = "warning" in out
    problems = []
    if len(coefficients) != order + 1:
        problems.append(f"{len(coefficients)} coefficients, expected {order + 1}")
    if condition > 1e8 and not warned:
        problems.append(f"condition number {condition} above 1e8 without a warning")
    if condition <= 1e8 and warned:
        problems.append(f"a warning at condition number {condition}")
    if warnings != (1 if warned else 0):
        problems.append(f"{warnings} warning lines, expected {1 if warned else 0}")
    if errors:
        problems.append("an error message in a successful run")
    note = f"condition {condition}"
    if order > 0:
        tolerance = "1e-4" if warned else "1e-8"
        fit = subprocess.run([fit_error, tolerance] + [c if isinstance(c, str) else repr(c) for c in coefficients], capture_output=True, text=True)
        note += ", " + (fit.stdout + fit.stderr).strip()
        if fit.returncode != 0:
            problems.append((fit.stdout + fit.stderr).strip())
    return problems, note


def main():
    a = parse_tool_arguments(("--tool", "--fit-error", "--file", "--ranks"))
    launch = launcher(a)
    failed = 0
    for order in range(21):
        run = subprocess.run(launch + [a.tool, a.file, "x", "poly-fit", "--y", "y", "--order", str(order),
                                       "--format", "json"], capture_output=True, text=True)
        problems, note = check(order, run, a.fit_error)
        if problems:
            failed += 1
            print(f"FAIL  order {order}: " + "; ".join(problems), flush=True)
        else:
            print(f"ok    order {order}: {note}", flush=True)
    if failed:
        sys.exit(f"{failed} orders failed at {a.ranks} ranks")


if __name__ == "__main__":
    main()
