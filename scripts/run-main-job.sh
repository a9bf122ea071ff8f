#!/usr/bin/env bash
# The main job, from a fresh machine onwards: installs the dependencies,
# configures and builds build/, then, as a 4-rank MPI job, writes the built-in
# sample HDF5 catalogue and summarises it with virda-stats.
#
#   scripts/run-main-job.sh [--example]
#
# --example runs the example program instead: every statistic on a synthetic
# catalogue, each result beside the value it should have. Exits with the
# job's status.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
target=virda-stats
case "${1:-}" in
  "") ;;
  --example) target=virda-example ;;
  -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
  *) echo "run-main-job: unknown argument '$1' (see --help)" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -DVIRDA_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target "$target"

# hwloc's pci plugin only slows start-up down; Hydra ends a job hung for 10 min.
export HWLOC_COMPONENTS=-pci
export MPIEXEC_TIMEOUT="${MPIEXEC_TIMEOUT:-600}"
if [ "$target" = virda-example ]; then
  exec mpiexec.mpich -n 4 "$build/examples/virda-example"
fi
sample="$build/virda-demo.h5"
exec mpiexec.mpich -n 4 "$build/tools/virda-stats/virda-stats" --demo "$sample"
