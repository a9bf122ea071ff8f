#!/usr/bin/env bash
# Builds the project (Release flags of the default build) and runs the
# statistics benchmark at 1 and 2 ranks. Timings at more ranks than cores mean
# nothing; compare only the ratios printed within one run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j2 --target statistics_bench
for ranks in 1 2; do
  mpiexec.mpich -n "$ranks" "$build/bench/statistics_bench" "$@"
done
