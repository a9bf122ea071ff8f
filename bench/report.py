"""Joins statistics_bench output (1 and 2 ranks) with numpy_bench output.

Usage: /usr/bin/python3 report.py BENCH_OUTPUT... --numpy NUMPY_OUTPUT
Prints per operation, N and rank count: library, tuned and NumPy ns per
element, library/tuned and NumPy/library (NumPy runs on one process, so it
is compared at one rank only); last the worst library/tuned ratio and the
operation slowest against NumPy.
"""
import sys


def read_bench(path):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 7 and parts[1].isdigit():
                name, ranks, n = parts[0], int(parts[1]), int(parts[2])
                lib, plain, tuned = map(float, parts[3:6])
                rows.append((name, n, ranks, lib, plain, tuned))
    return rows


def main():
    args = sys.argv[1:]
    k = args.index("--numpy")
    bench_files, numpy_file = args[:k], args[k + 1]
    rows = [r for path in bench_files for r in read_bench(path)]
    numpy = {}
    with open(numpy_file) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3:
                numpy[(parts[0], int(parts[1]))] = float(parts[2])
    order = {name: i for i, name in enumerate(dict.fromkeys(r[0] for r in rows))}
    rows.sort(key=lambda r: (order[r[0]], r[1], r[2]))
    print(f"{'operation':<18} {'N':>9} {'ranks':>5} {'library':>9} {'tuned':>9} {'NumPy':>9}"
          f" {'lib/tuned':>9} {'NumPy/lib':>9}   (ns per element)")
    worst, worst_at = 0.0, ""
    slowest, slowest_at = float("inf"), ""
    for name, n, ranks, lib, plain, tuned in rows:
        ratio = lib / tuned
        np_ns = numpy.get((name, n)) if ranks == 1 else None
        np_text = f"{np_ns:9.3f}" if np_ns is not None else f"{'-':>9}"
        vs_np = f"{np_ns / lib:9.2f}" if np_ns is not None else f"{'-':>9}"
        note = "  (tuned slower than plain loop)" if tuned > 1.1 * plain else ""
        print(f"{name:<18} {n:>9} {ranks:>5} {lib:9.3f} {tuned:9.3f} {np_text} {ratio:9.2f} {vs_np}{note}")
        if n >= 1000000 and ratio > worst:
            worst, worst_at = ratio, f"{name} N={n} ranks={ranks}"
        if np_ns is not None and np_ns / lib < slowest:
            slowest, slowest_at = np_ns / lib, f"{name} N={n}"
    print(f"worst library/tuned ratio (N >= 10^6): {worst:.2f} ({worst_at})")
    print(f"slowest against NumPy: NumPy/library {slowest:.2f} ({slowest_at})")


if __name__ == "__main__":
    main()
