#!/usr/bin/env bash
# Checks the Debian packages the way a user of a cluster gets the library:
#   1. configures a build for the prefix /usr, builds the libraries and
#      virda-stats, and makes the packages with `cpack -G DEB`;
#   2. checks what each package holds (libraries in the multiarch directory,
#      headers, CMake and pkg-config files, the tool, the Python module) and
#      that its Depends name the packages of the MPI, HDF5, Python, NumPy
#      and mpi4py its binaries load;
#   3. installs the packages into the system with apt-get;
#   4. builds the consumer program in tests/consumer against /usr with
#      find_package and with a plain compiler line and pkg-config (no search
#      paths given), and runs both under MPI, runs /usr/bin/virda-stats, and
#      (Open MPI) runs the README's Python quick start with the packaged
#      module;
#   5. removes the packages again (also when a step fails), so the machine is
#      left as it was and the script can be run again.
#
# Usage: scripts/check-package.sh [--mpi mpich|openmpi] [BUILD_DIR]
#   (default: mpich, in build-deb; openmpi in build-deb-openmpi, which also
#   makes python3-virdastatistics)
# Needs root (or sudo) for apt-get. Environment: JOBS (default 2), MPIEXEC
# (default mpiexec.<mpi>), MPICXX (default mpicxx.<mpi>), KEEP=1 to keep the
# temporary directory.
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mpi=mpich
if [ "${1:-}" = --mpi ]; then
  mpi="${2:-}"
  shift 2 || true
fi
case "$mpi" in
  mpich) default_build="$src/build-deb" ;;
  openmpi) default_build="$src/build-deb-openmpi" ;;
  *) echo "check-package: --mpi must be mpich or openmpi, not '$mpi'" >&2; exit 2 ;;
esac
# Absolute, so that the packages are paths to apt-get rather than names.
build="$(realpath -m "${1:-$default_build}")"
jobs="${JOBS:-2}"
mpiexec="${MPIEXEC:-mpiexec.$mpi}"
mpicxx="${MPICXX:-mpicxx.$mpi}"
ranks=2
export MPIEXEC_TIMEOUT="${MPIEXEC_TIMEOUT:-120}"
export HWLOC_COMPONENTS="${HWLOC_COMPONENTS:--pci}"
# Only the system's own search paths: the point is that /usr is found unaided.
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH LD_LIBRARY_PATH PYTHONPATH
if [ "$mpi" = openmpi ]; then
  . "$src/scripts/use-openmpi-environment.sh"
fi
. "$src/scripts/python-quick-start-check.sh"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
libdir="/usr/lib/$multiarch"

step() { printf '\n== check-package: %s\n' "$*"; }
fail() { printf 'check-package: FAILED: %s\n' "$*" >&2; exit 1; }

work="$(mktemp -d /tmp/virda-check-package.XXXXXX)"
installed=()
cleanup() {
  if [ "${#installed[@]}" -gt 0 ]; then
    step "removing ${installed[*]}"
    $SUDO dpkg --purge "${installed[@]}" >"$work/purge.log" 2>&1 || cat "$work/purge.log"
  fi
  if [ "${KEEP:-0}" = 1 ]; then echo "check-package: keeping $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The package that owns the file a program or library loads `lib` from.
owner_of_loaded() {
  local binary="$1" pattern="$2" path
  path="$(ldd "$binary" | awk -v p="$pattern" '$1 ~ p { print $3; exit }')"
  [ -n "$path" ] || fail "$binary loads no library matching $pattern"
  dpkg-query -S "$(readlink -f "$path")" | sed -n '$s/:.*//p' | sed 's/,.*//'
}
# depends <deb> <package>: the package is named in the Depends field.
depends_on() {
  dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx "$2" \
    || fail "$(basename "$1") does not depend on $2 (Depends: $(dpkg-deb -f "$1" Depends))"
}

"$src/scripts/install-deps.sh"

step "build for /usr in $build"
cmake -S "$src" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIRDA_MPI="$mpi" \
  -DVIRDA_WARNINGS_AS_ERRORS=ON -DVIRDA_BUILD_TOOLS=ON -DVIRDA_BUILD_TESTS=OFF \
  -DVIRDA_BUILD_EXAMPLES=OFF -DVIRDA_BUILD_BENCHMARKS=OFF >"$work/configure.log" \
  || { cat "$work/configure.log"; fail "configuring"; }
cmake --build "$build" -j"$jobs" >"$work/build.log" || { tail -n 40 "$work/build.log"; fail "building"; }
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB) >"$work/cpack.log" || { cat "$work/cpack.log"; fail "cpack -G DEB"; }

step "package contents and dependencies"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
lib_deb="$(find "$build/packages" -maxdepth 1 -name 'libvirdastatistics[0-9]*_*.deb')"
dev_deb="$(find "$build/packages" -maxdepth 1 -name 'libvirdastatistics-dev_*.deb')"
[ -f "$lib_deb" ] || fail "no library package in $build/packages"
[ -f "$dev_deb" ] || fail "no -dev package in $build/packages"
python_deb="$(find "$build/packages" -maxdepth 1 -name 'python3-virdastatistics_*.deb')"
case "$mpi" in
  openmpi) [ -f "$python_deb" ] || fail "no python3-virdastatistics package in $build/packages" ;;
  *) [ -z "$python_deb" ] || fail "a $mpi build made a Python package, which needs mpi4py's Open MPI" ;;
esac
lib_pkg="$(dpkg-deb -f "$lib_deb" Package)"
dev_pkg="$(dpkg-deb -f "$dev_deb" Package)"
dpkg-deb -c "$lib_deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/lib.files"
dpkg-deb -c "$dev_deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/dev.files"
for f in "$libdir/libvirdastatistics.so.$version" "$libdir/libvirdastatistics.so.0" \
         "$libdir/libvirdaruntime.so.$version" "$libdir/libvirdaruntime.so.0"; do
  grep -qx "$f" "$work/lib.files" || fail "$lib_pkg lacks $f"
done
if grep -v '/$' "$work/lib.files" | grep -v "^$libdir/lib[a-z]*\.so\.[0-9.]*$"; then
  fail "$lib_pkg holds more than the shared libraries"
fi
for f in /usr/include/virdastatistics/virdastatistics.h \
         /usr/include/virdastatistics/framework/attribute/attribute.h \
         /usr/include/virdastatistics/statistics/histogram.h \
         /usr/include/virdastatistics/reference_runtime/virda_session.h \
         "$libdir/libvirdastatistics.so" "$libdir/libvirdaruntime.so" \
         "$libdir/cmake/VirdaStatistics/VirdaStatisticsConfig.cmake" \
         "$libdir/cmake/VirdaStatistics/VirdaStatisticsTargets.cmake" \
         "$libdir/pkgconfig/virdastatistics.pc" "$libdir/pkgconfig/virdaruntime.pc" \
         /usr/bin/virda-stats; do
  grep -qx "$f" "$work/dev.files" || fail "$dev_pkg lacks $f"
done
if grep -q '\.so\.[0-9]' "$work/dev.files"; then fail "$dev_pkg holds a shared library of $lib_pkg"; fi
# The packages depend on what their binaries load, as the build found it.
dpkg-deb -x "$lib_deb" "$work/root"
dpkg-deb -x "$dev_deb" "$work/root"
mpi_pkg="$(owner_of_loaded "$build/libvirdastatistics.so.0" 'libmpi')"
depends_on "$lib_deb" "$mpi_pkg"
depends_on "$dev_deb" "$lib_pkg"
dpkg-deb -f "$dev_deb" Depends | grep -qF "$lib_pkg (= $version)" || fail "$dev_pkg does not pin $lib_pkg to $version"
depends_on "$dev_deb" "$(owner_of_loaded "$build/tools/virda-stats/virda-stats" 'libhdf5')"
depends_on "$dev_deb" "$(dpkg-query -S "$(command -v "$mpicxx")" | sed 's/:.*//')"
if readelf -S "$work/root$libdir/libvirdastatistics.so.$version" | grep -q '\.debug_info'; then
  fail "the packaged library carries debug information"
fi
echo "$lib_pkg: $(dpkg-deb -f "$lib_deb" Depends)"
echo "$dev_pkg: $(dpkg-deb -f "$dev_deb" Depends)"
debs=("$lib_deb" "$dev_deb")
packages=("$dev_pkg" "$lib_pkg")
if [ -n "$python_deb" ]; then
  python_pkg="$(dpkg-deb -f "$python_deb" Package)"
  dpkg-deb -c "$python_deb" | awk '{ print $6 }' | sed 's|^\./|/|' | grep -v '/$' >"$work/python.files"
  grep -qx '/usr/lib/python3/dist-packages/virdastatistics\.cpython-[0-9]*-[a-z0-9_]*-linux-gnu\.so' "$work/python.files" \
    && [ "$(wc -l <"$work/python.files")" -eq 1 ] || fail "$python_pkg does not hold just the module: $(cat "$work/python.files")"
  depends_on "$python_deb" "$lib_pkg"
  dpkg-deb -f "$python_deb" Depends | grep -qF "$lib_pkg (= $version)" || fail "$python_pkg does not pin $lib_pkg to $version"
  for p in python3 python3-numpy python3-mpi4py; do depends_on "$python_deb" "$p"; done
  echo "$python_pkg: $(dpkg-deb -f "$python_deb" Depends)"
  debs+=("$python_deb")
  packages=("$python_pkg" "${packages[@]}")
fi

step "install ${packages[*]}"
installed=("${packages[@]}")
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
  -o DPkg::Lock::Timeout=300 "${debs[@]}" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "apt-get install"; }
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" | grep -q 'install ok installed' || fail "$p is not installed"
done

# loads_from_usr <program>: the program loads both libraries from /usr.
loads_from_usr() {
  local lib path
  for lib in libvirdastatistics.so.0 libvirdaruntime.so.0; do
    # The loader may name /lib for /usr/lib (merged /usr): compare the files.
    path="$(ldd "$1" | awk -v l="$lib" '$1 == l { print $3 }')"
    if [ -z "$path" ] || [ "$(readlink -f "$path")" != "$(readlink -f "$libdir/$lib")" ]; then
      fail "$1 loads $lib from '$path', not from $libdir"
    fi
  done
}

step "find_package(VirdaStatistics) from /usr"
cmake -S "$src/tests/consumer" -B "$work/find" -DCMAKE_BUILD_TYPE=Release >"$work/find.log" \
  || { cat "$work/find.log"; fail "configuring the consumer with find_package"; }
grep -qx "VirdaStatistics_DIR:PATH=$libdir/cmake/VirdaStatistics" "$work/find/CMakeCache.txt" \
  || fail "find_package did not find the package in $libdir/cmake"
cmake --build "$work/find" -j"$jobs" >"$work/find-build.log" \
  || { tail -n 40 "$work/find-build.log"; fail "building the consumer with find_package"; }
loads_from_usr "$work/find/virda-consumer"
"$mpiexec" -n "$ranks" "$work/find/virda-consumer" || fail "running the find_package consumer"

step "pkg-config from /usr"
pkg-config --exists --print-errors virdastatistics virdaruntime || fail "pkg-config does not find the modules"
[ "$(readlink -f "$(pkg-config --variable=libdir virdaruntime)")" = "$libdir" ] \
  || fail "pkg-config names libdir $(pkg-config --variable=libdir virdaruntime)"
mkdir -p "$work/pc"
# shellcheck disable=SC2046 # pkg-config output is a list of words
"$mpicxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror "$src/tests/consumer/consumer.cpp" \
  -o "$work/pc/virda-consumer" $(pkg-config --cflags --libs virdaruntime) \
  || fail "building the consumer with pkg-config"
loads_from_usr "$work/pc/virda-consumer"
"$mpiexec" -n "$ranks" "$work/pc/virda-consumer" || fail "running the pkg-config consumer"

step "/usr/bin/virda-stats"
loads_from_usr /usr/bin/virda-stats
"$mpiexec" -n "$ranks" /usr/bin/virda-stats --demo "$work/demo.h5" --format json >"$work/demo.json" \
  || fail "virda-stats --demo"
grep -q '"nan_count"' "$work/demo.json" || fail "virda-stats --demo printed no summary"

if [ -n "$python_deb" ]; then
  step "the packaged Python module"
  module="$(grep -m1 '\.so$' "$work/python.files")"
  /usr/bin/python3 -c "import importlib.util as u; print(u.find_spec('virdastatistics').origin)" >"$work/origin.txt" \
    || fail "/usr/bin/python3 does not find virdastatistics"
  [ "$(cat "$work/origin.txt")" = "$module" ] || fail "/usr/bin/python3 finds virdastatistics at $(cat "$work/origin.txt"), not $module"
  loads_from_usr "$module"
  check_python_quick_start "the packaged module"
  echo "$module: the quick start runs"
fi

step "remove the packages"
$SUDO dpkg --purge "${installed[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
installed=()
for f in /usr/include/virdastatistics "$libdir/libvirdastatistics.so.0" "$libdir/cmake/VirdaStatistics" /usr/bin/virda-stats \
         /usr/lib/python3/dist-packages/virdastatistics.cpython-*.so; do
  [ ! -e "$f" ] || fail "$f is still there after removing the packages"
done

printf '\ncheck-package: all checks passed\n'
