#!/usr/bin/env bash
# Rewrites a suite's expected_failures.txt and counted_out.txt from runs of
# it at 1, 2 and 3 ranks against the module of an Open MPI build. The old
# list is emptied first: a test it lists that now passes would otherwise
# count as a failure of the runs that rewrite it.
# Usage: tests/python/numpy_suite/regenerate.sh <Open MPI build directory> [<suite folder>]
# (the suite folder defaults to this one; scipy_suite/regenerate.sh passes its own).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../.." && pwd)
build=$(cd "${1:?usage: regenerate.sh <Open MPI build directory> [<suite folder>]}" && pwd)
suite=$(cd "${2:-$here}" && pwd)
module=$(find "$build/python" -maxdepth 1 -name 'virdastatistics*.so' -print -quit)
[ -n "$module" ] || { echo "regenerate.sh: no module built in $build" >&2; exit 1; }
# shellcheck source=../../../scripts/use-openmpi-environment.sh
. "$src/scripts/use-openmpi-environment.sh"
export PYTHONPATH=$(dirname "$module") PYTHONDONTWRITEBYTECODE=1 MPI4PY_RC_THREAD_LEVEL=serialized
export HWLOC_COMPONENTS=-pci MPIEXEC_TIMEOUT=${MPIEXEC_TIMEOUT:-600}
grep '^#' "$suite/expected_failures.txt" > "$suite/expected_failures.txt.new" || true
mv "$suite/expected_failures.txt.new" "$suite/expected_failures.txt"
for ranks in 1 2 3; do
  mpiexec.openmpi -n "$ranks" /usr/bin/python3 "$suite/run_suite.py" --write-expected >/dev/null || true
done
echo "regenerate.sh: $(grep -vc '^#' "$suite/expected_failures.txt") expected failures," \
     "$(grep -vc '^#' "$suite/counted_out.txt") tests counted out"
