#!/usr/bin/env bash
# Checks that the library can be used from outside the project:
#   1. installs a built tree into a temporary prefix and checks what landed
#      (headers, both libraries with their SONAME links, CMake package,
#      pkg-config files, no paths into the source or build tree);
#   2. builds the consumer program in tests/consumer with find_package and
#      runs it under MPI; checks that a consumer whose MPI is another
#      implementation than the library's is refused at configure time;
#   3. builds the same program with a plain mpicxx line and pkg-config, and
#      runs it;
#   4. builds it again with the project added as a subdirectory of the
#      consumer's project, runs it, and installs that superproject;
#   5. runs the installed virda-stats tool, when it was built;
#   6. imports the installed Python module, when it was built, with
#      /usr/bin/python3 from the prefix's directory for it, checks that it
#      loads the libraries of the prefix, and runs the README's Python quick
#      start with it under MPI.
#
# Usage: scripts/check-install.sh [BUILD_DIR]   (default: build)
# The build directory must be configured and built; the MPI implementation
# it was built with (VIRDA_MPI: mpich or openmpi) is used throughout, by its
# suffixed program names. Environment: JOBS (build parallelism, default 2),
# MPIEXEC (default mpiexec.<mpi>), KEEP=1 to keep the temporary directory.
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$src/build}" && pwd)"
jobs="${JOBS:-2}"
mpi="$(sed -n 's/^VIRDA_MPI:[A-Z]*=//p' "$build/CMakeCache.txt")"
mpi="${mpi:-mpich}"
case "$mpi" in
  mpich) other_mpi=openmpi ;;
  openmpi) other_mpi=mpich ;;
  *) echo "check-install: unknown VIRDA_MPI '$mpi' in $build" >&2; exit 2 ;;
esac
mpiexec="${MPIEXEC:-mpiexec.$mpi}"
ranks=2
export MPIEXEC_TIMEOUT="${MPIEXEC_TIMEOUT:-120}"
export HWLOC_COMPONENTS="${HWLOC_COMPONENTS:--pci}"
if [ "$mpi" = openmpi ]; then
  . "$src/scripts/use-openmpi-environment.sh"
fi
. "$src/scripts/python-quick-start-check.sh"

work="$(mktemp -d /tmp/virda-check-install.XXXXXX)"
if [ "${KEEP:-0}" = 1 ]; then
  echo "check-install: keeping $work"
else
  trap 'rm -rf "$work"' EXIT
fi
prefix="$work/prefix"

step() { printf '\n== check-install: %s\n' "$*"; }
fail() { printf 'check-install: FAILED: %s\n' "$*" >&2; exit 1; }
# A program must load the library's MPI, never another MPI installed beside
# it (MPICH's library is libmpich, Open MPI's libmpi).
uses_mpi() {
  local libs ours='libmpich\.so' theirs='libmpi\.so'
  if [ "$mpi" = openmpi ]; then ours='libmpi\.so' theirs='libmpich\.so'; fi
  libs="$(ldd "$1")" || fail "ldd $1"
  grep -q "$ours" <<<"$libs" || fail "$1 does not load $mpi"
  if grep -q "$theirs" <<<"$libs"; then fail "$1 loads $other_mpi as well"; fi
}

step "install $build into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# The library directory relative to the prefix, as the .pc file names it.
# shellcheck disable=SC2016 # ${prefix} is text in the .pc file
libdir="$(sed -n 's/^libdir=\${prefix}\///p' "$(find "$prefix" -name virdastatistics.pc | head -n 1)")"
[ -n "$libdir" ] || fail "virdastatistics.pc not installed"
for f in include/virdastatistics/virdastatistics.h \
         include/virdastatistics/framework/array/va.h \
         include/virdastatistics/framework/attribute/attribute.h \
         include/virdastatistics/statistics/histogram.h \
         "$libdir/cmake/VirdaStatistics/VirdaStatisticsConfig.cmake" \
         "$libdir/cmake/VirdaStatistics/VirdaStatisticsConfigVersion.cmake" \
         "$libdir/cmake/VirdaStatistics/VirdaStatisticsTargets.cmake" \
         "$libdir/pkgconfig/virdastatistics.pc" \
         "$libdir/pkgconfig/virdaruntime.pc"; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
for lib in virdastatistics virdaruntime; do
  [ -L "$prefix/$libdir/lib$lib.so" ] || fail "missing development link lib$lib.so"
  [ -L "$prefix/$libdir/lib$lib.so.0" ] || fail "missing SONAME link lib$lib.so.0"
  soname="$(objdump -p "$prefix/$libdir/lib$lib.so.0" | awk '$1 == "SONAME" { print $2 }')"
  [ "$soname" = "lib$lib.so.0" ] || fail "lib$lib has SONAME '$soname'"
done
if grep -rlF -e "$src" -e "$build" "$prefix/include" "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig"; then
  fail "installed files name the source or build tree"
fi
echo "headers, libraries, SONAME links, package files: ok"

# consumer <dir> <what> <cmake option>...: configures, builds and runs the
# consumer in $work/<dir> with these options; <what> names it in failures.
consumer() {
  local dir="$work/$1" what="$2"
  shift 2
  cmake -S "$src/tests/consumer" -B "$dir" "$@" -DCMAKE_BUILD_TYPE=Release >"$dir.log" \
    || { cat "$dir.log"; fail "configuring $what"; }
  cmake --build "$dir" -j"$jobs" >"$dir-build.log" || { tail -n 40 "$dir-build.log"; fail "building $what"; }
  uses_mpi "$dir/virda-consumer"
  "$mpiexec" -n "$ranks" "$dir/virda-consumer" || fail "running $what"
}

step "find_package(VirdaStatistics) with CMAKE_PREFIX_PATH"
consumer find "the consumer with find_package" -DCMAKE_PREFIX_PATH="$prefix"

step "find_package(VirdaStatistics) from a project using $other_mpi"
if command -v "mpicxx.$other_mpi" >/dev/null; then
  if cmake -S "$src/tests/consumer" -B "$work/other" -DCMAKE_PREFIX_PATH="$prefix" \
       -DMPI_EXECUTABLE_SUFFIX=".$other_mpi" >"$work/other.log" 2>&1; then
    cat "$work/other.log"
    fail "a consumer using $other_mpi was configured against the library built with $mpi"
  fi
  grep -qF "VirdaStatistics was built with MPI '$mpi', but this project found MPI '$other_mpi'" \
    <(tr -s ' \n' ' ' <"$work/other.log") || { cat "$work/other.log"; fail "the refusal does not say why"; }
  echo "refused at configure time, naming both implementations: ok"
else
  echo "$other_mpi is not installed here (mpicxx.$other_mpi): nothing to refuse"
fi

step "pkg-config with a plain mpicxx.$mpi line"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
pkg-config --exists --print-errors virdaruntime || fail "pkg-config cannot resolve virdaruntime"
pc_mpi="$(pkg-config --variable=mpi virdastatistics)"
[ "$pc_mpi" = "$mpi" ] || fail "virdastatistics.pc names MPI '$pc_mpi', the library was built with $mpi"
pc_module=mpich
[ "$mpi" = mpich ] || pc_module=ompi
grep -qx "$pc_module" <(pkg-config --print-requires virdastatistics) \
  || fail "virdastatistics.pc does not require $pc_module: $(pkg-config --print-requires virdastatistics)"
echo "requires: $pc_module (mpi=$pc_mpi)"
echo "cflags: $(pkg-config --cflags virdaruntime)"
echo "libs:   $(pkg-config --libs virdaruntime)"
mkdir -p "$work/pc"
# shellcheck disable=SC2046 # pkg-config output is a list of words
"mpicxx.$mpi" -std=c++17 -Wall -Wextra -Wpedantic -Werror "$src/tests/consumer/consumer.cpp" \
  -o "$work/pc/virda-consumer" $(pkg-config --cflags --libs virdaruntime) \
  -Wl,-rpath,"$(pkg-config --variable=libdir virdaruntime)" || fail "building the consumer with pkg-config"
uses_mpi "$work/pc/virda-consumer"
"$mpiexec" -n "$ranks" "$work/pc/virda-consumer" || fail "the pkg-config consumer"

step "relocated prefix"
mv "$prefix" "$work/moved"
PKG_CONFIG_PATH="$work/moved/$libdir/pkgconfig" pkg-config --cflags virdaruntime | grep -qF -- "-I$work/moved/" \
  || fail "pkg-config does not follow a moved prefix"
mv "$work/moved" "$prefix"
echo "pkg-config follows a moved prefix: ok"

step "add_subdirectory of the source tree"
consumer sub "the superproject" -DVIRDA_SOURCE_DIR="$src" -DVIRDA_MPI="$mpi"
cmake --install "$work/sub" --prefix "$work/sub-prefix" >"$work/sub-install.log" \
  || { cat "$work/sub-install.log"; fail "installing the superproject"; }
if [ ! -x "$work/sub-prefix/bin/virda-consumer" ] || [ ! -e "$work/sub-prefix/$libdir/libvirdastatistics.so.0" ]; then
  fail "the superproject's install lacks the program or the library"
fi

if [ -x "$prefix/bin/virda-stats" ]; then
  step "installed virda-stats"
  "$mpiexec" -n "$ranks" "$prefix/bin/virda-stats" --demo "$work/demo.h5" --format json >"$work/demo.json" \
    || fail "virda-stats --demo"
  grep -q '"nan_count"' "$work/demo.json" || fail "virda-stats --demo printed no summary"
  echo "virda-stats --demo: ok"
fi

# Only an Open MPI build has the module (no python/ folder otherwise: find's
# failure must not end the script under pipefail).
built_module=""
if [ -d "$build/python" ]; then
  built_module="$(find "$build/python" -maxdepth 1 -name 'virdastatistics.cpython-*.so' | head -n 1)"
fi
if [ -n "$built_module" ]; then
  step "installed Python module"
  module="$(find "$prefix" -name "$(basename "$built_module")" | head -n 1)"
  [ -n "$module" ] || fail "the Python module was built but not installed"
  pydir="$(dirname "$module")"
  for lib in libvirdastatistics.so.0 libvirdaruntime.so.0; do
    path="$(ldd "$module" | awk -v l="$lib" '$1 == l { print $3 }')"
    [ "$(readlink -f "$path")" = "$(readlink -f "$prefix/$libdir/$lib")" ] \
      || fail "the module loads $lib from '$path', not from $prefix/$libdir"
  done
  # A job of one process needs pt2pt for its windows, which refuses mpi4py's
  # default MPI_THREAD_MULTIPLE (docs/python.md).
  PYTHONPATH="$pydir" MPI4PY_RC_THREAD_LEVEL=serialized "$mpiexec" -n 1 /usr/bin/python3 -c "
import virdastatistics as vs
assert vs.__file__.startswith('$pydir/'), vs.__file__
with vs.full(10, 2.0) as a:
    assert vs.mean(a) == 2.0
print('imported', vs.__file__)" || fail "importing the installed Python module"
  PYTHONPATH="$pydir" check_python_quick_start "the installed module"
  echo "Python module in $pydir: ok"
fi

printf '\ncheck-install: all checks passed\n'
