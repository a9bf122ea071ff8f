"""Joins statistics_bench output (1 and 2 ranks) with numpy_bench output.

Usage: /usr/bin/python3 report.py BENCH_OUTPUT... --numpy NUMPY_OUTPUT
Prints per operation, N and rank count: library, tuned and NumPy ns per
element, library/tuned and library/NumPy (NumPy runs on one process, so it is
compared at one rank only), the library's and NumPy's time per call in
microseconds, and what one library call makes once warm: MPI collectives,
window creations and frees. Last: the worst library/tuned ratio at N >= 10^6,
the operations slowest against NumPy, and every row whose steady state
creates or frees a window.
"""
import sys


def read_bench(path):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 11 and parts[1].isdigit():
                name, ranks, n = parts[0], int(parts[1]), int(parts[2])
                lib, plain, tuned = map(float, parts[3:6])
                colls, created, freed = map(int, parts[8:11])
                rows.append((name, n, ranks, lib, plain, tuned, colls, created, freed))
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
          f" {'lib/tuned':>9} {'lib/NumPy':>9} {'lib_us':>10} {'NumPy_us':>10} {'colls':>5} {'wincr':>5} {'winfr':>5}"
          f"   (ns per element; per call)")
    worst, worst_at = 0.0, ""
    against = []
    windows = []
    for name, n, ranks, lib, plain, tuned, colls, created, freed in rows:
        ratio = lib / tuned
        np_ns = numpy.get((name, n)) if ranks == 1 else None
        np_text = f"{np_ns:9.3f}" if np_ns is not None else f"{'-':>9}"
        vs_np = f"{lib / np_ns:9.2f}" if np_ns is not None else f"{'-':>9}"
        np_us = f"{np_ns * n / 1000:10.1f}" if np_ns is not None else f"{'-':>10}"
        note = "  (tuned slower than plain loop)" if tuned > 1.1 * plain else ""
        print(f"{name:<18} {n:>9} {ranks:>5} {lib:9.3f} {tuned:9.3f} {np_text} {ratio:9.2f} {vs_np}"
              f" {lib * n / 1000:10.1f} {np_us} {colls:5d} {created:5d} {freed:5d}{note}")
        if n >= 1000000 and ratio > worst:
            worst, worst_at = ratio, f"{name} N={n} ranks={ranks}"
        if np_ns is not None:
            against.append((lib / np_ns, f"{name} N={n}"))
        if created or freed:
            windows.append(f"{name} N={n} ranks={ranks}: {created} created, {freed} freed")
    print(f"worst library/tuned ratio (N >= 10^6): {worst:.2f} ({worst_at})")
    against.sort(reverse=True)
    print("slowest against NumPy (library/NumPy): " + ", ".join(f"{r:.2f} {at}" for r, at in against[:5]))
    print("steady-state window creations or frees: " + ("; ".join(windows) if windows else "none"))


if __name__ == "__main__":
    main()
