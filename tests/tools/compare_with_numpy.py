#!/usr/bin/python3
"""Runs `virda-stats DATASET summary` on every numeric dataset of the HDF5
files under a directory and compares count, mean, min and max with NumPy's
(through h5py), at each given rank count.

    /usr/bin/python3 compare_with_numpy.py TOOL [DIR] [--ranks 1,3]
        [--mpiexec mpiexec.mpich] [--verbose]

DIR defaults to /usr/share/python-tables (Debian's python-tables-data, a
collection of files written by other HDF5 programs). Not part of the test
suite: it needs h5py and those files. Exit status 0 when every dataset that
h5py reads gives the same numbers at every rank count and every refusal
names its reason; 1 otherwise.

A dataset is numeric when its type is an integer or a float (NumPy kinds
i, u, f). For a one-dimensional dataset the single summary row is compared;
for a table of shape (n, k), each column (each component of a float table of
width 2 or 3); for a grid (three or more dimensions, or a netCDF variable),
every value. The tool runs with --raw: h5py gives the stored values. Means
are compared within a relative 1e-9 of the data's largest magnitude (1e-6 for floats of up to 32 bits, which the tool holds as
float), extremes exactly (NaN ignored, as the tool does).
"""
import argparse
import glob
import json
import os
import subprocess
import sys

import h5py
import numpy as np


def numeric_datasets(path):
    """(name, array or None, why) for each numeric dataset of a file; the
    array is None when h5py cannot read it, `why` then says why."""
    found = []
    try:
        f = h5py.File(path, "r")
    except Exception as e:  # not a file h5py opens: nothing to compare
        return [(None, None, "h5py cannot open the file: %s" % e)]
    names = []
    f.visit(names.append)
    for name in names:
        try:
            obj = f.get(name)
        except Exception:
            continue  # a broken or external link
        if not isinstance(obj, h5py.Dataset):
            continue
        try:
            kind = obj.dtype.kind
        except Exception as e:
            found.append((name, None, "h5py has no NumPy type for it: %s" % e))
            continue
        if kind not in "iuf":
            continue
        try:
            found.append((name, obj[()], ""))
        except Exception as e:
            found.append((name, None, "h5py cannot read it: %s" % e))
    f.close()
    return found


def expected_rows(values, layout):
    """[(count, mean, min, max)] per column of a table, or of the one array
    of a grid (every value) or a one-dimensional dataset, as the tool
    reports them."""
    a = np.asarray(values)
    if a.ndim == 0:
        a = a.reshape(1)  # a single value: one row, as the tool reads it
    if layout == "grid":
        a = a.reshape(-1)
    columns = [a] if a.ndim == 1 else [a[:, k] for k in range(a.shape[1])]
    rows = []
    for c in columns:
        c64 = c.astype(np.float64)
        finite_or_inf = c64[~np.isnan(c64)]
        lo = float(finite_or_inf.min()) if finite_or_inf.size else float("nan")
        hi = float(finite_or_inf.max()) if finite_or_inf.size else float("nan")
        mean = float(np.mean(c64)) if c64.size else float("nan")
        rows.append((c.shape[0], mean, lo, hi))
    return rows


NON_FINITE = {"NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf")}


def same(got, want, tolerance):
    """Whether the tool's JSON member `got` is NumPy's `want`: NaN, +inf and
    -inf (the strings "NaN", "Infinity", "-Infinity") exactly, finite values
    within `tolerance`."""
    g = NON_FINITE.get(got) if isinstance(got, str) else got
    if not isinstance(g, (int, float)):
        return False
    if np.isnan(want) or np.isinf(want):
        return bool(np.isnan(g)) if np.isnan(want) else g == want
    return bool(np.isfinite(g)) and abs(g - want) <= tolerance


def run_tool(args, path, name, ranks):
    # --raw: the stored values, as h5py reads them (no missing or packed
    # values applied).
    command = [args.mpiexec, "-n", str(ranks), args.tool, path, name, "summary", "--raw", "--format", "json"]
    env = dict(os.environ, MPIEXEC_TIMEOUT="120")
    p = subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)
    return p.returncode, p.stdout, p.stderr


def compare(args, path, name, values, ranks):
    """("match" | "mismatch" | "refused", detail)."""
    code, out, err = run_tool(args, path, name, ranks)
    if code != 0:
        message = [line for line in err.splitlines() if "virda-stats: error:" in line]
        return "refused", (message[0].split("error: ", 1)[1] if message else "exit %d, no message" % code)
    report = json.loads(out)
    rows = report["summary"]
    want = expected_rows(values, report["dataset"].get("layout"))
    if len(rows) != len(want):
        return "mismatch", "%d summary rows, expected %d" % (len(rows), len(want))
    problems = []
    narrow_float = values.dtype.kind == "f" and values.dtype.itemsize <= 4
    for k, (row, (count, mean, lo, hi)) in enumerate(zip(rows, want)):
        scale = max([abs(v) for v in (lo, hi) if np.isfinite(v)] + [1.0])
        tolerance = (1e-6 if narrow_float else 1e-9) * scale
        if row["count"] != count:
            problems.append("column %d: count %s, NumPy %d" % (k, row["count"], count))
        if not same(row["mean"], mean, tolerance):
            problems.append("column %d: mean %r, NumPy %r" % (k, row["mean"], mean))
        for key, value in (("min", lo), ("max", hi)):
            if not same(row[key], value, 0.0):
                problems.append("column %d: %s %r, NumPy %r" % (k, key, row[key], value))
    return ("mismatch", "; ".join(problems)) if problems else ("match", "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tool")
    parser.add_argument("dir", nargs="?", default="/usr/share/python-tables")
    parser.add_argument("--ranks", default="1,3")
    parser.add_argument("--mpiexec", default="mpiexec.mpich")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    rank_counts = [int(r) for r in args.ranks.split(",")]

    totals = {"match": 0, "mismatch": 0, "refused": 0}
    unreadable = []
    failures = []
    refusals = {}
    datasets = 0
    for path in sorted(glob.glob(os.path.join(args.dir, "**", "*.h5"), recursive=True)):
        for name, values, why in numeric_datasets(path):
            if name is None or values is None:
                unreadable.append("%s %s: %s" % (path, name or "", why))
                continue
            datasets += 1
            for ranks in rank_counts:
                verdict, detail = compare(args, path, name, values, ranks)
                totals[verdict] += 1
                where = "%s %s (%s %s) at %d ranks" % (path, name, values.dtype, values.shape, ranks)
                if verdict == "mismatch":
                    failures.append("%s: %s" % (where, detail))
                elif verdict == "refused":
                    refusals.setdefault("%s %s (%s %s)" % (path, name, values.dtype, values.shape), []).append(
                        "%d ranks: %s" % (ranks, detail))
                if args.verbose:
                    print("%-8s %s %s" % (verdict, where, detail), flush=True)

    print("%d numeric datasets that h5py reads, %d runs: %d match, %d differ, %d refused"
          % (datasets, sum(totals.values()), totals["match"], totals["mismatch"], totals["refused"]))
    for line in failures:
        print("DIFFERS  " + line)
    for where, lines in refusals.items():
        print("REFUSED  %s: %s" % (where, " | ".join(lines)))
    for line in unreadable:
        print("NOT COMPARED (h5py) " + line)
    # A refusal without a reason, or a wrong number, fails the run.
    unexplained = [w for w, lines in refusals.items() if any("no message" in l for l in lines)]
    return 1 if failures or unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
