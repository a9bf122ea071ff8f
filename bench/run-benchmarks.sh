#!/usr/bin/env bash
# Builds the project (the default portable build; only the tuned baselines
# are built for this host) and runs the statistics benchmark at 1 and 2
# ranks, then NumPy/SciPy on the same operations and sizes on one process
# (Debian's /usr/bin/python3 with python3-numpy and python3-scipy, see
# scripts/install-deps.sh), and prints one table with both baselines. Timings at
# more ranks than cores mean nothing; compare only the ratios of one run.
#
# Usage: bench/run-benchmarks.sh [N ...]   (default 1000 10000 100000 1000000 10000000)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j2 --target statistics_bench
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ranks in 1 2; do
  mpiexec.mpich -n "$ranks" "$build/bench/statistics_bench" "$@" | tee "$out/np$ranks.txt"
done
# OpenBLAS tuning variables set for other programs can slow NumPy down or
# make it pick another kernel; NumPy runs without them.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE /usr/bin/python3 "$here/bench/numpy_bench.py" "$@" | tee "$out/numpy.txt"
echo
/usr/bin/python3 "$here/bench/report.py" "$out/np1.txt" "$out/np2.txt" --numpy "$out/numpy.txt"
