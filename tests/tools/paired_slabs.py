#!/usr/bin/python3
"""Checks the operations of virda-stats that read datasets side by side
(mean and stdev with --weights, bin-data, poly-fit) over many slabs: with
--memory-budget 1M each rank reads its rows in several slabs, and every
result must be the same double as with the default budget (one slab per
rank), at the rank count given. The results are also compared with NumPy
(numpy.average, per-bin means, numpy.polyfit) on the values the attributes
for missing values take. Then a dataset with one damaged chunk, among the
last rows (the last rank's, read in its last slab): every rank must stop
with the same single message and exit status 1, none left waiting.

    /usr/bin/python3 paired_slabs.py --tool TOOL --work DIR --ranks N
        [--launcher "mpiexec -n"] [--preflags ...]

Exit status 0 when every case agrees, 1 otherwise; each case prints a line.
"""
import json
import math
import os
import subprocess
import sys

import h5py
import numpy as np

from tool_launch import launcher, parse_tool_arguments

ROWS = 150_000
GRID = (40, 30, 30)
CHUNK = 1000
BEYOND = 12


def write_file(path):
    rng = np.random.default_rng(7)
    with h5py.File(path, "w") as f:
        x = rng.normal(0.0, 3.0, ROWS)
        x[rng.integers(0, ROWS, 500)] = -9999.0
        d = f.create_dataset("x", data=x)
        d.attrs["_FillValue"] = -9999.0
        w = rng.integers(0, 9, ROWS).astype("i2")
        d = f.create_dataset("w", data=w)
        d.attrs["missing_value"] = np.int16(8)
        y = (0.5 * x - 0.01 * x ** 3 + rng.normal(0.0, 0.2, ROWS)).astype("f4")
        f.create_dataset("y", data=y)
        f.create_dataset("gx", data=rng.uniform(-1.0, 1.0, GRID).astype("f4"))
        f.create_dataset("gy", data=rng.uniform(0.0, 5.0, GRID))
        # Integers read as doubles, BEYOND of them at or above 2^53, spread
        # over every rank's rows.
        wide = np.arange(ROWS, dtype="i8")
        wide[np.linspace(0, ROWS - 1, BEYOND).astype(int)] = 2 ** 53 + 2 * np.arange(BEYOND)
        f.create_dataset("wide", data=wide)
        # The same values compressed in chunks, one of which is damaged below.
        f.create_dataset("broken", data=y, chunks=(CHUNK,), compression="gzip")
    # A chunk among the last rows: its compressed bytes overwritten.
    with h5py.File(path, "r") as f:
        info = f["broken"].id.get_chunk_info_by_coord((ROWS - CHUNK,))
    with open(path, "r+b") as raw:
        raw.seek(info.byte_offset)
        raw.write(b"\xff" * info.size)


def values(path):
    with h5py.File(path, "r") as f:
        x = f["x"][()]
        w = f["w"][()].astype(np.float64)
        y = f["y"][()].astype(np.float64)
        gx = f["gx"][()].astype(np.float64).reshape(-1)
        gy = f["gy"][()].reshape(-1)
    both = (x != -9999.0) & (w != 8)
    return x, w, y, both, gx, gy


def bin_means(x, y, c0, width, n):
    k = np.floor((x - c0) / width + 0.5)
    out = []
    for b in range(n):
        inside = k == b
        out.append(float(y[inside].mean()) if inside.any() else 0.0)
    return out


def close(got, want, tolerance):
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    return got.shape == want.shape and bool(np.all(np.abs(got - want) <= tolerance))


def main():
    args = parse_tool_arguments()

    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, "pairs.h5")
    write_file(path)
    x, w, y, both, gx, gy = values(path)
    env = dict(os.environ, MPIEXEC_TIMEOUT="60")

    def run(tool_args):
        command = launcher(args) + [args.tool, path] + tool_args + ["--format", "json"]
        return subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)

    xb, wb, yb = x[both], w[both], y[both]
    m = math.fsum(xb * wb) / math.fsum(wb)
    fit3 = np.polyfit(x[x != -9999.0], y[x != -9999.0], 3)[::-1]
    fit2w = np.polyfit(xb, yb, 2, w=np.sqrt(wb))[::-1]
    cases = [
        ("weighted mean", ["x", "mean", "--weights", "w"], "mean", m, 1e-13 * abs(m)),
        ("weighted stdev", ["x", "stdev", "--weights", "w"], "stdev",
         float(np.sqrt(np.average((xb - m) ** 2, weights=wb))), 1e-12),
        ("bin-data", ["x", "bin-data", "--y", "y", "--centres", "-6,1,13"], "means",
         bin_means(x[x != -9999.0], y[x != -9999.0], -6.0, 1.0, 13), 1e-12),
        ("bin-data of a 3-D grid", ["gx", "bin-data", "--y", "gy", "--centres", "-1,0.25,9"], "means",
         bin_means(gx, gy, -1.0, 0.25, 9), 1e-12),
        ("weighted mean of a 3-D grid", ["gy", "mean", "--weights", "gx"], "mean",
         math.fsum(gy * gx) / math.fsum(gx), 1e-9),
        ("poly-fit", ["x", "poly-fit", "--y", "y", "--order", "3"], "coefficients", fit3,
         1e-9 * np.max(np.abs(fit3))),
        ("weighted poly-fit", ["x", "poly-fit", "--y", "y", "--order", "2", "--weights", "w"], "coefficients",
         fit2w, 1e-9 * np.max(np.abs(fit2w))),
    ]
    failed = 0
    for label, tool_args, key, want, tolerance in cases:
        problems = []
        outputs = []
        for budget in ([], ["--memory-budget", "1M"]):
            p = run(tool_args + budget)
            if p.returncode != 0:
                problems.append("exit status %d %s: %s" % (p.returncode, " ".join(budget), p.stderr.strip()))
                continue
            outputs.append(json.loads(p.stdout))
        if len(outputs) == 2:
            one, many = outputs
            # Everything but the budget-free members must be the same bits.
            if one != many:
                problems.append("one slab and many differ:\n  %s\n  %s" % (one.get(key), many.get(key)))
            if not close(one.get(key), want, tolerance):
                problems.append("%s %r, NumPy %r" % (key, one.get(key), want))
            if "used" in one.get("dataset", {}) and tool_args[0] == "x" and "--weights" in tool_args:
                if one["dataset"]["used"] != int(both.sum()):
                    problems.append("used %r, NumPy %d" % (one["dataset"]["used"], int(both.sum())))
        failed += 1 if problems else 0
        print("%-6s %s (%s)%s" % ("FAIL" if problems else "ok", label, " ".join(tool_args),
                                  "".join("\n         " + line for line in problems)), flush=True)

    # The count of integers beyond 2^53 is over the whole dataset, at any
    # rank count and budget.
    for budget in ([], ["--memory-budget", "1M"]):
        p = run(["wide", "mean", "--weights", "w"] + budget)
        got = json.loads(p.stdout).get("dataset", {}).get("beyond_2_53") if p.returncode == 0 else p.stderr
        ok = got == BEYOND
        failed += 0 if ok else 1
        print("%-6s integers beyond 2^53 counted once (%s)%s" % ("ok" if ok else "FAIL", " ".join(budget),
                                                                "" if ok else ": %r, want %d" % (got, BEYOND)),
              flush=True)

    # One damaged chunk, met by the last rank in its last slab: one message,
    # exit status 1 on every rank, within the launcher's timeout.
    for label, tool_args in (("damaged y of bin-data", ["x", "bin-data", "--y", "broken", "--centres", "-6,1,13"]),
                             ("damaged weights", ["x", "mean", "--weights", "broken"]),
                             ("damaged y of poly-fit", ["x", "poly-fit", "--y", "broken", "--order", "2"])):
        p = run(tool_args + ["--memory-budget", "1M"])
        errors = [line for line in p.stderr.splitlines() if line.startswith("virda-stats: error: ")]
        ok = p.returncode == 1 and len(errors) == 1 and "reading dataset 'broken'" in errors[0]
        failed += 0 if ok else 1
        print("%-6s %s (%s)%s" % ("ok" if ok else "FAIL", label, " ".join(tool_args),
                                  "" if ok else "\n         exit status %d: %s" % (p.returncode, p.stderr.strip())),
              flush=True)
    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
