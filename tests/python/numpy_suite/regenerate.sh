#!/usr/bin/env bash
# Rewrites expected_failures.txt and counted_out.txt from runs of the suite
# at 1, 2 and 3 ranks against the module of an Open MPI build.
# Usage: tests/python/numpy_suite/regenerate.sh <Open MPI build directory>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../.." && pwd)
build=$(cd "${1:?usage: regenerate.sh <Open MPI build directory>}" && pwd)
module=$(find "$build/python" -maxdepth 1 -name 'virdastatistics*.so' -print -quit)
[ -n "$module" ] || { echo "regenerate.sh: no module built in $build" >&2; exit 1; }
# shellcheck source=../../../scripts/use-openmpi-environment.sh
. "$src/scripts/use-openmpi-environment.sh"
export PYTHONPATH=$(dirname "$module") PYTHONDONTWRITEBYTECODE=1 MPI4PY_RC_THREAD_LEVEL=serialized
export HWLOC_COMPONENTS=-pci MPIEXEC_TIMEOUT=${MPIEXEC_TIMEOUT:-600}
for ranks in 1 2 3; do
  mpiexec.openmpi -n "$ranks" /usr/bin/python3 "$here/run_suite.py" --write-expected >/dev/null || true
done
echo "regenerate.sh: $(grep -vc '^#' "$here/expected_failures.txt") expected failures," \
     "$(grep -vc '^#' "$here/counted_out.txt") tests counted out"
