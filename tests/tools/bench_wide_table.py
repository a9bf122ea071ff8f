#!/usr/bin/python3
"""Times `virda-stats FILE table summary` on a table of 150 rows and 10,000
columns (the shape of wide single-cell and expression tables) at 1 rank and
at N ranks, in the same run, and prints the medians and their ratio.

    /usr/bin/python3 bench_wide_table.py TOOL [--ranks 3] [--repeats 3]
        [--launcher "mpiexec.mpich -n"] [--work DIR]

Not part of the test suite. With more ranks than cores every collective
costs milliseconds, so the time at N ranks shows how many collectives the
summary makes.
"""
import argparse
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

import h5py
import numpy as np


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tool")
    parser.add_argument("--ranks", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--launcher", default="mpiexec.mpich -n")
    parser.add_argument("--work", default=tempfile.gettempdir())
    parser.add_argument("--rows", type=int, default=150)
    parser.add_argument("--columns", type=int, default=10000)
    args = parser.parse_args()

    path = os.path.join(args.work, "wide_table_bench.h5")
    rng = np.random.default_rng(7)
    with h5py.File(path, "w") as f:
        f["table"] = rng.normal(0, 1, (args.rows, args.columns))

    medians = {}
    for ranks in (1, args.ranks):
        times = []
        for _ in range(args.repeats):
            command = shlex.split(args.launcher) + [str(ranks), args.tool, path, "table", "summary",
                                                    "--format", "json"]
            start = time.perf_counter()
            p = subprocess.run(command, capture_output=True, text=True, timeout=600)
            times.append(time.perf_counter() - start)
            if p.returncode != 0:
                print("failed at %d ranks: %s" % (ranks, p.stderr.strip()))
                return 1
        medians[ranks] = statistics.median(times)
        print("%d x %d summary at %d rank%s: median %.2f s of %d runs (%s)"
              % (args.rows, args.columns, ranks, "" if ranks == 1 else "s", medians[ranks], args.repeats,
                 ", ".join("%.2f" % t for t in times)))
    print("ratio %d ranks / 1 rank: %.2f" % (args.ranks, medians[args.ranks] / medians[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
