#!/usr/bin/env bash
# Builds the project and runs its tests, from a fresh machine onwards:
# installs the dependencies, configures, builds and runs CTest.
#
#   scripts/run-tests.sh [--sanitize] [--mpi mpich|openmpi] [-- <ctest arguments>...]
#
# Plain: build directory build/, RelWithDebInfo. --sanitize: build-asan/,
# Debug with AddressSanitizer and UndefinedBehaviorSanitizer. Warnings are
# errors in both. --mpi openmpi builds against Open MPI instead of MPICH, in
# build-openmpi/ (build-openmpi-asan/ with --sanitize). Exits non-zero if any
# step or test fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=build
options=(-DVIRDA_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
ctest_args=()
mpi=mpich

while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize)
      build=build-asan
      options=(-DVIRDA_WARNINGS_AS_ERRORS=ON -DVIRDA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
      ;;
    --mpi)
      [ $# -ge 2 ] || { echo "run-tests: --mpi needs mpich or openmpi" >&2; exit 2; }
      mpi="$2"
      shift
      ;;
    --) shift; ctest_args=("$@"); break ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "run-tests: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

case "$mpi" in
  mpich) ;;
  openmpi) build="build-openmpi${build#build}" ;;
  *) echo "run-tests: --mpi must be mpich or openmpi, not '$mpi'" >&2; exit 2 ;;
esac
options+=("-DVIRDA_MPI=$mpi")
build="$root/$build"

"$root/scripts/install-deps.sh"

echo "run-tests: configuring $build"
cmake -S "$root" -B "$build" "${options[@]}"
echo "run-tests: building"
cmake --build "$build" -j2
echo "run-tests: testing"
# Tests that need more processes than -j allows run alone (CTest PROCESSORS).
ctest --test-dir "$build" --output-on-failure --no-tests=error -j2 "${ctest_args[@]}"
