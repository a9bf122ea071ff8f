#!/usr/bin/python3
"""Time mean, std and the 90th percentile over time of a (steps, 181, 360)
float32 field with `virda-stats reduce` at 1 and 2 ranks, against h5py
reading the field once and NCO's ncra/ncwa, all in the same run on the same
file. Prints median wall times, peak memory (largest process) and ratios.

    /usr/bin/python3 bench/reduce_bench.py --tool build/tools/virda-stats/virda-stats
        [--steps 8760] [--repeats 3] [--work /tmp/reduce-bench] [--budget 512M]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

import h5py
import numpy as np

LAT, LON = 181, 360


def write_field(path, steps):
    """Hourly-like data in chunks of 24 steps, time unlimited (a record
    dimension, as ncra needs), written as netCDF writers lay it out."""
    with h5py.File(path, "w") as f:
        t = f.create_dataset("time", data=np.arange(steps, dtype=np.float64), maxshape=(None,), chunks=(1024,))
        t.make_scale("time")
        for name, n in (("lat", LAT), ("lon", LON)):
            d = f.create_dataset(name, data=np.linspace(-90, 90, n) if name == "lat" else np.arange(n) * 1.0)
            d.make_scale(name)
        v = f.create_dataset("t2m", shape=(steps, LAT, LON), dtype=np.float32, maxshape=(None, LAT, LON),
                             chunks=(24, LAT, LON))
        rng = np.random.default_rng(1)
        for first in range(0, steps, 240):
            n = min(240, steps - first)
            v[first:first + n] = rng.normal(280, 10, (n, LAT, LON)).astype(np.float32)
        for i, d in enumerate(("time", "lat", "lon")):
            v.dims[i].attach_scale(f[d])
        v.attrs["units"] = "K"


def timed(command, env=None):
    """Wall time and peak resident memory (KiB, largest process) of a command."""
    start = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - start
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(command), p.stderr.strip()[-400:]))
    peak = int(p.stderr.strip().splitlines()[-1])
    return elapsed, peak


READ_ONCE = """
import sys, h5py
with h5py.File(sys.argv[1], "r") as f:
    v = f["t2m"]
    for first in range(0, v.shape[0], 240):
        v[first:first + 240]
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--steps", type=int, default=8760)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--work", default="/tmp/reduce-bench")
    parser.add_argument("--budget", default="512M")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, "field_%d.nc" % args.steps)
    if not os.path.exists(path):
        write_field(path, args.steps)
    out = os.path.join(args.work, "out.nc")
    mpiexec = shutil.which("mpiexec.mpich") or "mpiexec"

    runs = [("h5py reads the field once", ["/usr/bin/python3", "-c", READ_ONCE, path])]
    for ranks in (1, 2):
        for stats in ("mean,std", "q0.9"):
            runs.append(("reduce %s, %d rank%s" % (stats, ranks, "s" if ranks > 1 else ""),
                         [mpiexec, "-n", str(ranks), args.tool, path, "t2m", "reduce", "--over", "time", "--stat",
                          stats, "-o", out, "--memory-budget", args.budget]))
    if shutil.which("ncwa"):
        runs.append(("ncwa -y avg (mean)", ["ncwa", "-O", "-a", "time", "-y", "avg", "-v", "t2m", path, out]))
    if shutil.which("ncra"):
        runs.append(("ncra (mean)", ["ncra", "-O", "-v", "t2m", path, out]))

    print("field (%d, %d, %d) float32, %.2f GB; medians of %d runs" % (
        args.steps, LAT, LON, args.steps * LAT * LON * 4 / 1e9, args.repeats))
    results = {}
    for label, command in runs:
        times = []
        peaks = []
        for _ in range(args.repeats):
            t, m = timed(command)
            times.append(t)
            peaks.append(m)
        results[label] = (statistics.median(times), max(peaks))
    read = results[runs[0][0]][0]
    print("%-32s %10s %10s %12s" % ("", "seconds", "x read", "peak MiB"))
    for label, _ in runs:
        t, m = results[label]
        print("%-32s %10.2f %10.2f %12.0f" % (label, t, t / read, m / 1024))
    for stats in ("mean,std", "q0.9"):
        one = results["reduce %s, 1 rank" % stats][0]
        two = results["reduce %s, 2 ranks" % stats][0]
        print("reduce %s: 2 ranks %.2fx faster than 1" % (stats, one / two))
    return 0


if __name__ == "__main__":
    sys.exit(main())
