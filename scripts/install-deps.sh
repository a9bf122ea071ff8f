#!/usr/bin/env bash
# Installs the build and test dependencies with Debian's package manager.
# Idempotent: packages already present are left alone. Needs root (or sudo).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  mpich libmpich-dev          # MPI: MPICH by name, never the default alternative
  libboost-dev                # boost::variant and friends (headers only)
  fftw-dev                    # FFTW 2: fftw.h with fftw_complex
  libgtest-dev googletest     # unit tests
  libhdf5-mpich-dev           # parallel HDF5 built for MPICH (command-line tool)
  python3-numpy python3-scipy # the benchmark's NumPy/SciPy baseline (/usr/bin/python3)
  dpkg-dev                    # Debian packages: dpkg-shlibdeps, dpkg-architecture (scripts/check-package.sh)
  doxygen graphviz chromium   # API reference and its check in a headless browser (scripts/check-docs.sh)
  openmpi-bin libopenmpi-dev  # Open MPI for the second build (VIRDA_MPI=openmpi); it takes
                              # over Debian's mpicxx/mpiexec alternatives, which no build uses
  libhdf5-openmpi-dev         # parallel HDF5 built for Open MPI (the tool in that build)
  python3-h5py                # virda-stats' tests write their files as other software does
  netcdf-bin nco              # ncdump and the netCDF operators: reduce's output checked by them
  hdf5-plugin-lzf liblzf1     # filter plugins virda-stats reads through (LZF needs liblzf, which it
  hdf5-filter-plugin          # does not declare; the others: LZ4 and BZip2, Blosc, ZFP)
  hdf5-filter-plugin-blosc-serial hdf5-filter-plugin-zfp-serial
  bitshuffle                  # the Bitshuffle plugin (also another LZF one); brings cython3
  python3-dev pybind11-dev    # the Python module (Open MPI build only)
  python3-mpi4py              # its communicators; Debian builds it on Open MPI
  python3-pytest              # the Python module's tests
  python3-hypothesis          # NumPy's own test files import it (tests/python/numpy_suite)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
