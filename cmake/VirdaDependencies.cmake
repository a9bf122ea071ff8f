# Third-party dependencies of the libraries. MPICH is selected by name so that
# another MPI installed beside it (Debian's default alternative) is never used.
include(GNUInstallDirs)

set(MPI_EXECUTABLE_SUFFIX .mpich)
set(MPI_CXX_SKIP_MPICXX ON)
find_package(MPI 3.0 REQUIRED COMPONENTS C CXX)

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
