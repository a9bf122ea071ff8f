#!/usr/bin/env bash
# Builds the Python module in the Open MPI build (build-openmpi/, as
# scripts/run-tests.sh --mpi openmpi does) and runs bench/python_bench.py at
# 1 and 2 ranks: the module's call, the library's own C++ call and NumPy's
# (with mpi4py at 2 ranks) per operation and N, the Python layer's cost per
# call, and on one rank the issue's targets that were missed. Timings at more
# ranks than cores mean nothing; compare only the ratios of one run.
#
# Usage: bench/run-python-benchmarks.sh [N ...]   (default 10000 1000000 10000000)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-openmpi}
cmake -S "$here" -B "$build" -DVIRDA_MPI=openmpi >/dev/null
cmake --build "$build" -j2 --target virda_python_bench
# What Open MPI's launcher needs here, as the tests have it; a job of one
# process creates windows only through pt2pt, which refuses mpi4py's default
# MPI_THREAD_MULTIPLE (docs/python.md).
src=$here
. "$src/scripts/use-openmpi-environment.sh"
export MPI4PY_RC_THREAD_LEVEL=serialized HWLOC_COMPONENTS=-pci
export PYTHONPATH="$build/python/bench:$here/bench${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
for ranks in 1 2; do
  # OpenBLAS tuning variables set for other programs can slow NumPy down.
  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
    mpiexec.openmpi -n "$ranks" /usr/bin/python3 "$here/bench/python_bench.py" "$@"
done
