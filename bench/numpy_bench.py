"""NumPy/SciPy on the statistics benchmark's operations and data, one process.

Usage: /usr/bin/python3 numpy_bench.py [N ...]   (default 10^3 to 10^7)
Prints one line per operation and N: the median ns per element, with the
operation names of statistics_bench.
"""
import sys
import time

import numpy as np
from numpy.polynomial import polynomial as P
from scipy import stats

NBINS = 100
COEFFS = np.array([1.0, -0.5, 0.25, 0.125])
FIVE = np.array([0.05, 0.25, 0.5, 0.75, 0.95])


def data(n):
    g = np.arange(n, dtype=np.float64)
    x = np.fmod(g * 0.6180339887498949, 1.0) * 100.0
    w = 1.0 + (np.arange(n) % 5).astype(np.float64)
    y = 3.0 + 0.25 * x + 0.5 * np.sin(g)
    return x, w, y


def weighted_stdev(x, w):
    m = np.average(x, weights=w)
    return np.sqrt(np.average((x - m) ** 2, weights=w))


def operations(x, w, y):
    lower, width = 0.0, 1.0
    edges = (lower, lower + NBINS * width)
    centre0 = lower + 0.5 * width
    bin_range = (centre0 - 0.5 * width, centre0 + (NBINS - 0.5) * width)
    sw = np.sqrt(w)  # polyfit weights the residuals: sqrt(w) gives the normal equations of w
    return [
        ("mean", lambda: np.mean(x)),
        ("mean_weighted", lambda: np.average(x, weights=w)),
        ("stdev", lambda: np.std(x)),
        ("stdev_weighted", lambda: weighted_stdev(x, w)),
        ("histogram", lambda: np.histogram(x, bins=NBINS, range=edges)),
        ("bin_data", lambda: stats.binned_statistic(x, y, "mean", bins=NBINS, range=bin_range)),
        ("function_eval", lambda: P.polyval(x, COEFFS)),
        ("poly_fit", lambda: P.polyfit(x, y, 3)),
        ("poly_fit_weighted", lambda: P.polyfit(x, y, 3, w=sw)),
        ("median", lambda: np.median(x)),
        ("quantile_5p", lambda: np.quantile(x, FIVE)),
        ("engine_mean", lambda: np.mean(x)),
        ("engine_var", lambda: np.var(x)),
        ("engine_minmax", lambda: np.max(x) - np.min(x)),
        ("engine_median", lambda: np.median(x)),
        ("engine_quantile_5p", lambda: np.quantile(x, FIVE)),
        ("engine_histogram", lambda: np.histogram(x, bins=NBINS, range=edges)),
    ]


def median_ns(run, n, reps):
    times = []
    for _ in range(reps):
        start = time.perf_counter_ns()
        run()
        times.append((time.perf_counter_ns() - start) / n)
    times.sort()
    return times[len(times) // 2]


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [1000, 10000, 100000, 1000000, 10000000]
    for n in sizes:
        x, w, y = data(n)
        reps = 3 if n >= 5000000 else 9 if n >= 1000000 else 41 if n >= 100000 else 201
        for name, run in operations(x, w, y):
            run()  # warm up
            print(f"{name} {n} {median_ns(run, n, reps):.3f}", flush=True)


if __name__ == "__main__":
    main()
