"""The module's string bin estimators against numpy.histogram_bin_edges on
many random data sets, seeded.

Usage: mpiexec.openmpi -n R /usr/bin/python3 bin_edges_fuzz.py [CASES [SEED]]
       (default 400 cases, seed 27; the module on PYTHONPATH)

Every case draws a size from 1 to 10^4 (log-uniform), a kind (float64
normal, float64 lognormal, float32 uniform, small int64, int64 with ties,
float64 with many repeats) and splits the values over the ranks; every
estimator is asked of the module and of NumPy on the whole data. A case
differs when the edges differ in length or in any bit. Rank 0 prints, per
estimator, how many cases differ, of those how many differ only in the
number of bins by one (a width on the other side of a ceiling), how many
both refused (an estimate of more bins than memory holds), and the first few
differing cases with NumPy's and the module's bin counts.

The module's deviation and quartiles are correctly rounded, NumPy's are
the results of its pairwise sums and its percentile arithmetic: where
ceil(span / width) lands within one rounding of an integer, the two can
take bin counts one apart.
"""
import sys

import numpy as np
from mpi4py import MPI

import virdastatistics as vs

comm = MPI.COMM_WORLD
ESTIMATORS = ("auto", "fd", "doane", "scott", "stone", "rice", "sturges", "sqrt")


def data_set(rng, kind, n):
    if kind == "normal":
        return rng.normal(rng.uniform(-1e3, 1e3), rng.uniform(1e-3, 1e3), n)
    if kind == "lognormal":
        return rng.lognormal(0.0, 2.0, n)
    if kind == "float32":
        return rng.uniform(-10, 10, n).astype(np.float32)
    if kind == "int_small":
        return rng.integers(-50, 50, n)
    if kind == "int_ties":
        return rng.integers(0, 4, n) * 1000 + rng.integers(0, 2, n)
    return np.repeat(rng.normal(size=max(1, n // 7)), 7)[:n] if n >= 7 else rng.normal(size=n)


def bins_of(edges):
    return edges if isinstance(edges, str) else len(edges) - 1


def main():
    cases = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 27
    rng = np.random.default_rng(seed)
    kinds = ("normal", "lognormal", "float32", "int_small", "int_ties", "repeats")
    differ = {e: 0 for e in ESTIMATORS}
    off_by_one = {e: 0 for e in ESTIMATORS}
    refused = {e: 0 for e in ESTIMATORS}
    examples = []
    for case in range(cases):
        n = int(np.exp(rng.uniform(0, np.log(1e4))))
        kind = kinds[case % len(kinds)]
        a = data_set(rng, kind, n)
        lo, hi = len(a) * comm.rank // comm.size, len(a) * (comm.rank + 1) // comm.size
        for e in ESTIMATORS:
            # An estimate of billions of bins makes both refuse (a
            # MemoryError, or the module's limit): the same outcome if both do.
            ours = theirs = None
            try:
                ours = vs.histogram_bin_edges(a[lo:hi], e, comm=comm)
            except (MemoryError, ValueError) as x:
                ours = type(x).__name__
            try:
                theirs = np.histogram_bin_edges(a, e)
            except (MemoryError, ValueError) as x:
                theirs = type(x).__name__
            if isinstance(ours, str) or isinstance(theirs, str):
                same = isinstance(ours, str) and isinstance(theirs, str)
                if same:
                    refused[e] += 1
            else:
                same = ours.shape == theirs.shape and ours.dtype == theirs.dtype and \
                    np.array_equal(ours.view(np.uint8), theirs.view(np.uint8))
            if not same:
                differ[e] += 1
                sized = not isinstance(ours, str) and not isinstance(theirs, str)
                if sized and abs(len(ours) - len(theirs)) == 1:
                    off_by_one[e] += 1
                if len(examples) < 12:
                    examples.append((case, kind, len(a), e, bins_of(theirs), bins_of(ours)))
    if comm.rank == 0:
        print(f"ranks {comm.size}; {cases} data sets, seed {seed}")
        print(f"{'estimator':10} {'differ':>7} {'bins +-1':>9} {'both refuse':>12}")
        for e in ESTIMATORS:
            print(f"{e:10} {differ[e]:>7} {off_by_one[e]:>9} {refused[e]:>12}")
        for case, kind, n, e, nb_np, nb_ours in examples:
            print(f"  case {case} ({kind}, n={n}) {e}: numpy {nb_np} bins, module {nb_ours} bins")


if __name__ == "__main__":
    main()
