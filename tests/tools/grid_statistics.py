#!/usr/bin/python3
"""Checks virda-stats histogram2d and binned-statistic against NumPy and
SciPy at the rank count given: counts as numpy.histogram2d's and
scipy.stats.binned_statistic(_2d)'s (values on every edge, outside the range,
NaN and infinite coordinates, missing values left out), per-bin sums and
means exactly the exact total (math.fsum), medians, minima and maxima as
NumPy's, with the default range and with --range, in one slab and in many
(--memory-budget 1M). Then the failures: values that do not fit in the
memory budget, and no finite coordinate to set the range by: every rank
stops with one message and exit status 1.

    /usr/bin/python3 grid_statistics.py --tool TOOL --work DIR --ranks N
        [--launcher "mpiexec -n"] [--preflags ...]
"""
import json
import math
import os
import subprocess
import sys

import h5py
import numpy as np
from scipy import stats

from tool_launch import launcher, parse_tool_arguments

# Rows: more than one slab of --memory-budget 1M for three datasets, fewer
# pairs than a rank may keep in it; BIG: more pairs than 4 ranks may keep.
ROWS = 60_000
BIG = 300_000


def write_file(path):
    rng = np.random.default_rng(11)
    x = np.round(rng.normal(0.0, 2.0, ROWS), 1)  # many values on the edges of 0.5-wide bins
    y = rng.uniform(-1.0, 3.0, ROWS)
    v = rng.standard_cauchy(ROWS) * 1e10  # sums that float addition gets wrong
    x[:40] = [np.nan, np.inf, -np.inf] * 13 + [4.0]
    x[rng.integers(0, ROWS, 300)] = -9999.0
    with h5py.File(path, "w") as f:
        d = f.create_dataset("x", data=x)
        d.attrs["_FillValue"] = -9999.0
        f.create_dataset("y", data=y.astype("f4"))
        f.create_dataset("v", data=v)
        f.create_dataset("nan", data=np.full(ROWS, np.nan))
        # Never written: every value is the fill value, at no cost on disk.
        f.create_dataset("big", shape=(BIG,), dtype="f8", chunks=(4096,), fillvalue=0.5)
    keep = x != -9999.0
    return x[keep], y.astype("f4").astype(np.float64)[keep], v[keep]


def expected(x, y, v, statistic, bins, value_range):
    """SciPy's statistic per bin (sums and means from exact totals)."""
    sample = [x] if y is None else [x, y]
    finite = np.all([np.isfinite(s) for s in sample], axis=0)
    sample = [s[finite] for s in sample]
    v = v[finite]
    r = stats.binned_statistic_dd(sample, v, statistic="count", bins=bins, range=value_range)
    counts = r.statistic.astype(np.int64)
    if statistic in ("count", None):
        return counts, counts.astype(np.float64)
    if statistic in ("sum", "mean"):
        # The bin of each point as SciPy numbers it, with its outlier bins.
        inner = stats.binned_statistic_dd(sample, v, "count", bins=bins, range=value_range, expand_binnumbers=True)
        index = np.atleast_2d(inner.binnumber) - 1
        inside = np.all([(i >= 0) & (i < n) for i, n in zip(index, counts.shape)], axis=0)
        keys = np.ravel_multi_index(tuple(i[inside] for i in index), counts.shape)
        totals = np.zeros(counts.size)
        for b in np.unique(keys):
            totals[b] = math.fsum(v[inside][keys == b])
        totals = totals.reshape(counts.shape)
        if statistic == "sum":
            return counts, totals
        with np.errstate(invalid="ignore", divide="ignore"):
            return counts, np.where(counts > 0, totals / counts, np.nan)
    return counts, stats.binned_statistic_dd(sample, v, statistic=statistic, bins=bins, range=value_range).statistic


def main():
    a = parse_tool_arguments()
    os.makedirs(a.work, exist_ok=True)
    path = os.path.join(a.work, "grid.h5")
    x, y, v = write_file(path)
    launch = launcher(a)
    env = dict(os.environ, MPIEXEC_TIMEOUT="60")

    def run(args):
        return subprocess.run(launch + [a.tool, path] + args, capture_output=True, text=True, env=env, timeout=120)

    finite_x = x[np.isfinite(x)]
    default_x = (finite_x.min(), finite_x.max())
    default_y = (y.min(), y.max())
    cases = [
        ("histogram2d", ["x", "histogram2d", "--y", "y", "--bins", "24,8"], y, None, (24, 8), [default_x, default_y]),
        ("histogram2d with --range", ["x", "histogram2d", "--y", "y", "--bins", "20", "--range", "-5,5,0,2"], y, None,
         (20, 20), [(-5, 5), (0, 2)]),
    ]
    for statistic in ("count", "sum", "mean", "std", "min", "max", "median"):
        cases.append((f"binned-statistic {statistic}", ["x", "binned-statistic", "--values", "v", "--statistic",
                                                          statistic, "--bins", "20", "--range", "-5,5"],
                      None, statistic, (20,), [(-5, 5)]))
    cases.append(("binned-statistic 2-D median", ["x", "binned-statistic", "--y", "y", "--values", "v",
                                                  "--statistic", "median", "--bins", "12,5"],
                  y, "median", (12, 5), [default_x, default_y]))
    failed = 0
    for label, args, ys, statistic, bins, value_range in cases:
        problems = []
        want_counts, want = expected(x, ys, v, statistic, bins, value_range)
        outputs = []
        for budget in ([], ["--memory-budget", "1M"]):
            r = run(args + budget + ["--format", "json"])
            if r.returncode != 0:
                problems.append(f"exit status {r.returncode} {' '.join(budget)}: {r.stderr.strip()}")
                continue
            outputs.append(json.loads(r.stdout))
        for out in outputs:
            counts = np.array(out["counts"]).reshape(bins)
            if not np.array_equal(counts, want_counts):
                problems.append(f"counts differ in {int(np.sum(counts != want_counts))} bins")
            if out["outside"] != len(x) - int(want_counts.sum()):
                problems.append(f"outside {out['outside']}, expected {len(x) - int(want_counts.sum())}")
            if statistic is not None:
                got = np.array([float(g) for g in np.ravel(out["statistic_values"])]).reshape(bins)
                same = np.allclose(got, want, rtol=1e-12, atol=0, equal_nan=True) if statistic == "std" else \
                    np.array_equal(got, want, equal_nan=True)
                if not same:
                    problems.append(f"{statistic} differs in {int(np.sum(~np.isclose(got, want, equal_nan=True)))} bins")
        if len(outputs) == 2 and outputs[0] != outputs[1]:
            problems.append("one slab and many slabs differ")
        failed += bool(problems)
        print(("FAIL  " if problems else "ok    ") + label + "".join("\n  " + q for q in problems), flush=True)

    for label, args in [
        ("values beyond the memory budget", ["big", "binned-statistic", "--values", "big", "--statistic", "median",
                                             "--bins", "4", "--memory-budget", "1M"]),
        ("no finite coordinate", ["nan", "histogram2d", "--y", "y", "--bins", "3"]),
    ]:
        r = run(args)
        errors = r.stderr.count("virda-stats: error:")
        ok = r.returncode == 1 and errors == 1
        failed += not ok
        print(("ok    " if ok else "FAIL  ") + label + ("" if ok else f": exit {r.returncode}, {errors} errors: "
                                                         f"{r.stderr.strip()}"), flush=True)
    if failed:
        sys.exit(f"{failed} cases failed at {a.ranks} ranks")


if __name__ == "__main__":
    main()
