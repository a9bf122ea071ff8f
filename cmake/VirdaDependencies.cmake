# Third-party dependencies of the libraries. The MPI implementation is selected
# by name (VIRDA_MPI) so that another MPI installed beside it (Debian's default
# alternative, which moves mpicxx and mpiexec) is never used by accident.
include(GNUInstallDirs)

# mpich: Debian's mpich/libmpich-dev, programs named *.mpich.
# openmpi: Debian's openmpi-bin/libopenmpi-dev, programs named *.openmpi.
set(VIRDA_MPI mpich CACHE STRING "MPI implementation to build against: mpich or openmpi")
set_property(CACHE VIRDA_MPI PROPERTY STRINGS mpich openmpi)
if(NOT VIRDA_MPI MATCHES "^(mpich|openmpi)$")
  message(FATAL_ERROR "VIRDA_MPI must be 'mpich' or 'openmpi', not '${VIRDA_MPI}'")
endif()

set(MPI_EXECUTABLE_SUFFIX .${VIRDA_MPI})
set(MPI_CXX_SKIP_MPICXX ON)
find_package(MPI 3.0 REQUIRED COMPONENTS C CXX)
include(VirdaMpiImplementation)
virda_check_mpi_implementation(MPI::MPI_CXX "${VIRDA_MPI}" "The build (VIRDA_MPI=${VIRDA_MPI})")
message(STATUS "MPI: ${VIRDA_MPI}, launched with ${MPIEXEC_EXECUTABLE}")

find_package(Boost 1.71 REQUIRED)

# FFTW 2 brings no CMake or pkg-config files; only its fftw_complex type is used,
# so the header is all that is needed.
find_path(FFTW2_INCLUDE_DIR fftw.h REQUIRED)
if(NOT TARGET Virda::fftw2)
  add_library(virda_fftw2 INTERFACE)
  add_library(Virda::fftw2 ALIAS virda_fftw2)
  set_target_properties(virda_fftw2 PROPERTIES EXPORT_NAME fftw2)
  target_include_directories(virda_fftw2 INTERFACE $<BUILD_INTERFACE:${FFTW2_INCLUDE_DIR}>)
endif()
