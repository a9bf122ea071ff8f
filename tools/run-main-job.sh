#!/usr/bin/env bash
# Builds the example program and runs it as a 4-rank MPI job: installs the
# dependencies, configures build/, builds virda-example and runs it under
# MPICH's launcher. Exits with the job's status.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"

"$root/tools/install-deps.sh"

cmake -S "$root" -B "$build" -DVIRDA_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target virda-example

# hwloc's pci plugin only slows start-up down; Hydra ends a job hung for 10 min.
export HWLOC_COMPONENTS=-pci
export MPIEXEC_TIMEOUT="${MPIEXEC_TIMEOUT:-600}"
exec mpiexec.mpich -n 4 "$build/examples/virda-example"
