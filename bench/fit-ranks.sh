#!/usr/bin/env bash
# poly_fit of orders 5, 10 and 20 at 2, 3 and 4 ranks (more ranks than this
# machine's 2 cores at 3 and 4), each time against the 2-rank time of the
# same order, from one build (default build/).
#
# Usage: bench/fit-ranks.sh [BUILD_DIR] [N]   (default build, 1000)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
n=${2:-1000}
cmake --build "$build" -j2 --target fit_orders_bench >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for ranks in 2 3 4; do
  mpiexec.mpich -n "$ranks" "$build/bench/fit_orders_bench" "$n" | tee -a "$out"
done
/usr/bin/python3 - "$out" <<'PY'
import sys
t = {}
for line in open(sys.argv[1]):
    _, ranks, order, seconds = line.split()
    t[(int(order), int(ranks))] = float(seconds)
print(f"{'order':>5} {'ranks':>5} {'seconds':>9} {'vs 2 ranks':>10}")
for (order, ranks), s in sorted(t.items()):
    print(f"{order:5d} {ranks:5d} {s:9.3f} {s / t[(order, 2)]:10.1f}")
PY
