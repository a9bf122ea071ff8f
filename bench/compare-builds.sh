#!/usr/bin/env bash
# Runs statistics_bench of two builds (say the last release and a change) in
# turn, at 1 and 2 ranks, and prints the library's time per element of each
# and new/old, so that a change is judged against what it replaces in the
# same run. Each build runs its own benchmark program; their first four
# columns (operation, ranks, N, library ns per element) are compared.
#
# Usage: bench/compare-builds.sh OLD_BUILD_DIR NEW_BUILD_DIR [N ...]
#        (default N: 1000000 10000000; each build must have statistics_bench)
set -euo pipefail
old=$1
new=$2
shift 2
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000000 10000000)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ranks in 1 2; do
  for round in 1 2; do
    # Two rounds each, alternating, so that a change in the machine's load
    # falls on both builds.
    mpiexec.mpich -n "$ranks" "$old/bench/statistics_bench" "${sizes[@]}" >>"$out/old.txt"
    mpiexec.mpich -n "$ranks" "$new/bench/statistics_bench" "${sizes[@]}" >>"$out/new.txt"
  done
done
/usr/bin/python3 - "$out/old.txt" "$out/new.txt" <<'PY'
import sys
from collections import defaultdict
from statistics import median

def read(path):
    rows = defaultdict(list)
    for line in open(path):
        p = line.split()
        if len(p) >= 4 and p[1].isdigit():
            rows[(p[0], int(p[2]), int(p[1]))].append(float(p[3]))
    return rows

old, new = read(sys.argv[1]), read(sys.argv[2])
print(f"{'operation':<18} {'N':>9} {'ranks':>5} {'old_ns':>9} {'new_ns':>9} {'new/old':>8}")
worst = (0.0, "")
for key in old:
    if key in new:
        o, n = median(old[key]), median(new[key])
        print(f"{key[0]:<18} {key[1]:>9} {key[2]:>5} {o:9.3f} {n:9.3f} {n / o:8.2f}")
        worst = max(worst, (n / o, f"{key[0]} N={key[1]} ranks={key[2]}"))
print(f"largest new/old: {worst[0]:.2f} ({worst[1]})")
PY
