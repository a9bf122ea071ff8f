#!/usr/bin/python3
"""virda-stats over a dataset of more than 2^31 values, cheaply: h5py writes
an int8 dataset of 2^31 + 2^20 values in chunks of 2^20, of which only three
chunks are stored; the others read as the fill value. The tool's summary and
histogram at the given rank count must match the statistics of the same
multiset computed here from the three chunks and the number of fill values.

    /usr/bin/python3 beyond_int_counts.py --tool TOOL --work WORK_DIR --ranks N
        [--launcher "mpiexec -n"] [--preflags ...]

Exit status 0 when every figure matches; 1 otherwise.
"""
import json
import math
import os
import subprocess
import sys

import h5py
import numpy as np

from tool_launch import launcher, parse_tool_arguments

CHUNK = 2 ** 20
N = 2 ** 31 + CHUNK
FILL = 5


def written_chunks():
    """{first index: values} of the chunks that are stored."""
    i = np.arange(CHUNK, dtype=np.int64)
    return {
        0: ((i % 251) - 125).astype(np.int8),          # -125 .. 125
        2 ** 30: np.full(CHUNK, -3, dtype=np.int8),    # a block below the fill
        N - CHUNK: ((i * 7) % 100).astype(np.int8),    # the last chunk, 0 .. 99
    }


def write(path):
    with h5py.File(path, "w") as f:
        d = f.create_dataset("v", shape=(N,), dtype="i1", chunks=(CHUNK,), fillvalue=FILL)
        for first, values in written_chunks().items():
            d[first:first + CHUNK] = values


def expected(lower, width, bins):
    """count, mean, stdev, min, max, median and histogram of the multiset."""
    values, counts = np.unique(np.concatenate(list(written_chunks().values())), return_counts=True)
    counts = counts.astype(object)
    fills = N - 3 * CHUNK
    at = np.searchsorted(values, FILL)
    if at < len(values) and values[at] == FILL:
        counts[at] += fills
    else:
        values = np.insert(values, at, FILL)
        counts = np.insert(counts, at, fills)
    values = [int(v) for v in values]
    counts = [int(c) for c in counts]
    total = sum(v * c for v, c in zip(values, counts))
    squares = sum(v * v * c for v, c in zip(values, counts))
    n = sum(counts)
    assert n == N

    def order_statistic(k):
        seen = 0
        for v, c in zip(values, counts):
            seen += c
            if k < seen:
                return v
        raise AssertionError(k)

    h = (n - 1) * 0.5
    lo = order_statistic(math.floor(h))
    hi = order_statistic(math.floor(h) + 1)
    median = lo + (hi - lo) * (h - math.floor(h))
    histogram = [0] * bins
    for v, c in zip(values, counts):
        if v > lower:
            k = int((v - lower) / width)
            if k < bins:
                histogram[k] += c
    return {
        "count": n,
        "mean": total / n,
        "stdev": math.sqrt((n * squares - total * total) / (n * n)),
        "min": float(min(values)),
        "max": float(max(values)),
        "median": float(median),
        "histogram": histogram,
    }


def run(command):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("%s failed (%d):\n%s%s" % (" ".join(command), done.returncode, done.stdout, done.stderr))
    return json.loads(done.stdout)


def main():
    args = parse_tool_arguments()
    ranks, work = args.ranks, args.work
    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "beyond_int_counts.h5")
    lower, width, bins = -128.0, 16.0, 16
    want = expected(lower, width, bins)
    try:
        write(path)
        launch = launcher(args) + [args.tool, path, "v"]
        summary = run(launch + ["summary", "--format", "json"])
        histogram = run(launch + ["histogram", "--lower", str(lower), "--width", str(width), "--bins", str(bins),
                                  "--format", "json"])
    finally:
        if os.path.exists(path):
            os.remove(path)
    row = summary["summary"][0]
    failures = []
    if row["count"] != want["count"]:
        failures.append("count %r, expected %r" % (row["count"], want["count"]))
    for key in ("mean", "stdev"):
        if not math.isclose(row[key], want[key], rel_tol=1e-14):
            failures.append("%s %r, expected %r" % (key, row[key], want[key]))
    for key in ("min", "max", "median"):
        if row[key] != want[key]:
            failures.append("%s %r, expected %r" % (key, row[key], want[key]))
    if histogram["counts"] != want["histogram"]:
        failures.append("histogram %r, expected %r" % (histogram["counts"], want["histogram"]))
    for f in failures:
        print("beyond_int_counts: " + f)
    print("beyond_int_counts: %s at %s ranks" % ("failed" if failures else "passed", ranks))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
