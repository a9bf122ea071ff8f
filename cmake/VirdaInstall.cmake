# Installation and packaging: headers, both shared libraries, the CMake package
# VirdaStatistics (imported targets Virda::statistics, Virda::runtime and the
# header-only Virda::fftw2) and the pkg-config files virdastatistics.pc and
# virdaruntime.pc, the command-line tool and the Python module when they are
# built.
#
# Everything goes under the GNU install directories of the prefix. The CMake
# package and the pkg-config files locate the prefix from their own position,
# so an installed tree can be moved (and `cmake --install --prefix` works).

include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# --- Headers ---------------------------------------------------------------
# Only the public headers (VirdaPublicHeaders.cmake), under
# include/virdastatistics/, the install-side include directory of the
# statistics target; they include each other as "framework/...",
# "statistics/...", so the folder structure is kept.
include(VirdaPublicHeaders)
set(_virda_header_dest "${CMAKE_INSTALL_INCLUDEDIR}/virdastatistics")

# The API reference documents exactly the installed headers.
include(VirdaDocs)

# On by default in a superproject too: a program that links these shared
# libraries needs them installed beside it.
option(VIRDA_INSTALL "Generate the install rules of the libraries, headers and package files" ON)
if(NOT VIRDA_INSTALL)
  return()
endif()

set(VIRDA_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/VirdaStatistics"
  CACHE STRING "Where the CMake package files of VirdaStatistics go, relative to the prefix")
set(VIRDA_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  CACHE STRING "Where the pkg-config files go, relative to the prefix")
mark_as_advanced(VIRDA_INSTALL_CMAKEDIR VIRDA_INSTALL_PKGCONFIGDIR)

foreach(header IN LISTS VIRDA_PUBLIC_HEADERS)
  get_filename_component(_virda_header_dir "${header}" DIRECTORY)
  install(FILES "${PROJECT_SOURCE_DIR}/${header}"
    DESTINATION "${_virda_header_dest}/${_virda_header_dir}"
    COMPONENT Development)
endforeach()

# --- Libraries and the export set -------------------------------------------
# virda_fftw2 is an interface target carrying FFTW 2's include directory; it
# is exported under its EXPORT_NAME fftw2 and gets its (machine-specific)
# include directory from the package configuration, which looks for fftw.h.
install(TARGETS virdastatistics virdaruntime virda_fftw2
  EXPORT VirdaStatisticsTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT Runtime
    NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime)

install(EXPORT VirdaStatisticsTargets
  NAMESPACE Virda::
  FILE VirdaStatisticsTargets.cmake
  DESTINATION "${VIRDA_INSTALL_CMAKEDIR}"
  COMPONENT Development)

# --- CMake package -----------------------------------------------------------
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/VirdaStatisticsConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/VirdaStatisticsConfig.cmake"
  INSTALL_DESTINATION "${VIRDA_INSTALL_CMAKEDIR}")
# The SONAME carries the major version, so releases of one major version are
# interchangeable for a consumer.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/VirdaStatisticsConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/VirdaStatisticsConfig.cmake"
  "${PROJECT_BINARY_DIR}/VirdaStatisticsConfigVersion.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/VirdaMpiImplementation.cmake"
  DESTINATION "${VIRDA_INSTALL_CMAKEDIR}"
  COMPONENT Development)

# --- pkg-config ---------------------------------------------------------------
# MPI comes from the implementation's own pkg-config module when there is one
# (Debian: mpich.pc, ompi.pc); otherwise the flags that FindMPI found are
# written out literally. The variable `mpi` names the implementation.
set(_virda_pc_module_mpich mpich)
set(_virda_pc_module_openmpi ompi)
set(_virda_pc_module "${_virda_pc_module_${VIRDA_MPI}}")
find_package(PkgConfig QUIET)
set(_virda_pc_requires "")
set(_virda_pc_mpi_cflags "")
set(_virda_pc_mpi_libs "")
if(PKG_CONFIG_FOUND)
  pkg_check_modules(VIRDA_PC_MPI QUIET ${_virda_pc_module})
endif()
if(VIRDA_PC_MPI_FOUND)
  set(_virda_pc_requires "${_virda_pc_module}")
else()
  foreach(dir IN LISTS MPI_CXX_INCLUDE_DIRS)
    string(APPEND _virda_pc_mpi_cflags " -I${dir}")
  endforeach()
  foreach(opt IN LISTS MPI_CXX_COMPILE_OPTIONS)
    string(APPEND _virda_pc_mpi_cflags " ${opt}")
  endforeach()
  foreach(def IN LISTS MPI_CXX_COMPILE_DEFINITIONS)
    string(APPEND _virda_pc_mpi_cflags " -D${def}")
  endforeach()
  foreach(opt IN LISTS MPI_CXX_LINK_FLAGS)
    string(APPEND _virda_pc_mpi_libs " ${opt}")
  endforeach()
  foreach(lib IN LISTS MPI_CXX_LIBRARIES)
    string(APPEND _virda_pc_mpi_libs " ${lib}")
  endforeach()
endif()
# The C++ bindings of MPI are never used; the CMake targets say the same
# (FindMPI's MPI_CXX_SKIP_MPICXX defines these for both implementations).
string(APPEND _virda_pc_mpi_cflags " -DMPICH_SKIP_MPICXX -DOMPI_SKIP_MPICXX")

# Boost and FFTW 2 are header-only here: only directories the compiler does not
# search anyway are named.
set(_virda_pc_dep_cflags "")
foreach(dir IN LISTS Boost_INCLUDE_DIRS FFTW2_INCLUDE_DIR)
  if(dir AND NOT dir IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES AND NOT dir STREQUAL "/usr/include")
    string(APPEND _virda_pc_dep_cflags " -I${dir}")
  endif()
endforeach()

# prefix is found from the .pc file's own directory when the install
# directories are relative (the usual case), so the tree stays relocatable.
function(_virda_pc_relative_prefix out_var)
  if(IS_ABSOLUTE "${VIRDA_INSTALL_PKGCONFIGDIR}")
    set(${out_var} "${CMAKE_INSTALL_PREFIX}" PARENT_SCOPE)
    return()
  endif()
  set(up "\${pcfiledir}")
  string(REPLACE "/" ";" parts "${VIRDA_INSTALL_PKGCONFIGDIR}")
  foreach(part IN LISTS parts)
    if(part AND NOT part STREQUAL ".")
      string(APPEND up "/..")
    endif()
  endforeach()
  set(${out_var} "${up}" PARENT_SCOPE)
endfunction()
_virda_pc_relative_prefix(VIRDA_PC_PREFIX)

function(_virda_pc_dir out_var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out_var} "${dir}" PARENT_SCOPE)
  else()
    set(${out_var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
_virda_pc_dir(VIRDA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
_virda_pc_dir(VIRDA_PC_INCLUDEDIR "${_virda_header_dest}")

set(VIRDA_PC_REQUIRES "${_virda_pc_requires}")
set(VIRDA_PC_MPI "${VIRDA_MPI}")
string(STRIP "${_virda_pc_mpi_cflags}${_virda_pc_dep_cflags}" VIRDA_PC_EXTRA_CFLAGS)
string(STRIP "${_virda_pc_mpi_libs}" VIRDA_PC_EXTRA_LIBS)
foreach(pc IN ITEMS virdastatistics virdaruntime)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in" "${PROJECT_BINARY_DIR}/${pc}.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/${pc}.pc"
    DESTINATION "${VIRDA_INSTALL_PKGCONFIGDIR}"
    COMPONENT Development)
endforeach()

# --- Tools -------------------------------------------------------------------
if(TARGET virda-stats)
  # The tool finds the libraries beside it, and HDF5 where it was linked from.
  file(RELATIVE_PATH _virda_bin_to_lib
    "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(virda-stats PROPERTIES
    INSTALL_RPATH "\$ORIGIN/${_virda_bin_to_lib}"
    INSTALL_RPATH_USE_LINK_PATH ON)
  install(TARGETS virda-stats
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Tools)
endif()

# --- Python module -------------------------------------------------------------
if(TARGET virda_python)
  # Where /usr/bin/python3 finds it: Debian's directory for packaged modules
  # under /usr, the one it searches for local installs under any other prefix
  # (/usr/local/lib/python3.X/dist-packages; elsewhere add the directory to
  # PYTHONPATH).
  set(VIRDA_INSTALL_PYTHONDIR "" CACHE STRING
    "Where the Python module goes, relative to the prefix (empty: lib/python3/dist-packages for the prefix /usr, lib/python3.X/dist-packages otherwise)")
  mark_as_advanced(VIRDA_INSTALL_PYTHONDIR)
  set(VIRDA_PYTHON_INSTALL_DIR "${VIRDA_INSTALL_PYTHONDIR}")
  if(NOT VIRDA_PYTHON_INSTALL_DIR)
    set(VIRDA_PYTHON_INSTALL_DIR "lib/python${VIRDA_PYTHON_VERSION}/dist-packages")
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(VIRDA_PYTHON_INSTALL_DIR "lib/python3/dist-packages")
    endif()
  endif()
  # The module finds the libraries beside it in the prefix.
  file(RELATIVE_PATH _virda_python_to_lib
    "${CMAKE_INSTALL_PREFIX}/${VIRDA_PYTHON_INSTALL_DIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(virda_python PROPERTIES INSTALL_RPATH "\$ORIGIN/${_virda_python_to_lib}")
  install(TARGETS virda_python
    LIBRARY DESTINATION "${VIRDA_PYTHON_INSTALL_DIR}" COMPONENT Python)
endif()
