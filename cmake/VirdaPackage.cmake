# Debian packages with CPack: `cpack -G DEB` in a build directory configured
# with -DCMAKE_INSTALL_PREFIX=/usr (GNUInstallDirs then puts the libraries in
# Debian's multiarch directory) gives
#
#   libvirdastatistics<SOVERSION>  the two shared libraries (install component
#                                  Runtime);
#   libvirdastatistics-dev         headers, development links, CMake package,
#                                  pkg-config files (Development) and the
#                                  virda-stats tool (Tools);
#   python3-virdastatistics        the Python module (Python), when it is
#                                  built (Open MPI builds).
#
# The module is a package of its own, as Debian names and places Python
# modules: it brings Python, NumPy and mpi4py along, which users of the C++
# library need not install, and a build that has no module (MPICH) makes the
# same two library packages as before. It depends on the library package of
# exactly this version, on the Python minor version it was built for (its
# file name carries that ABI) and on the packages of the NumPy and mpi4py it
# was built against.
#
# Each package depends on the packages of the MPI (and, for the tool, HDF5)
# that this build found, looked up by file with dpkg, so a build against
# another MPI gets that MPI's packages. Only for the top-level project: a
# superproject packages itself.

include_guard(GLOBAL)
if(NOT VIRDA_TOP_LEVEL OR NOT VIRDA_INSTALL)
  return()
endif()

# The Debian package that owns `file` (symbolic links followed when
# `follow` is set), or "" when dpkg does not know it.
function(_virda_deb_owner out_var file follow)
  set(${out_var} "" PARENT_SCOPE)
  find_program(VIRDA_DPKG_QUERY dpkg-query)
  mark_as_advanced(VIRDA_DPKG_QUERY)
  if(NOT VIRDA_DPKG_QUERY OR NOT EXISTS "${file}")
    return()
  endif()
  if(follow)
    file(REAL_PATH "${file}" file)
  endif()
  execute_process(COMMAND "${VIRDA_DPKG_QUERY}" -S "${file}"
    OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    return()
  endif()
  # "pkg[:arch][, other]: /path"; a diverted file prints extra lines first,
  # so the owner is on the last line.
  string(REPLACE "\n" ";" lines "${owner}")
  list(GET lines -1 line)
  string(FIND "${line}" ": " colon)
  if(colon GREATER 0 AND line MATCHES "^([^ :,]+)")
    set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  endif()
endfunction()

# Appends the owners of `files` to the list `out_var`, once each.
function(_virda_deb_owners out_var follow)
  set(owners ${${out_var}})
  foreach(file IN LISTS ARGN)
    _virda_deb_owner(owner "${file}" ${follow})
    if(owner AND NOT owner IN_LIST owners)
      list(APPEND owners "${owner}")
    endif()
  endforeach()
  set(${out_var} "${owners}" PARENT_SCOPE)
endfunction()

set(_virda_mpi_libraries ${MPI_CXX_LIBRARIES} ${MPI_C_LIBRARIES})
list(FILTER _virda_mpi_libraries INCLUDE REGEX "^/")

# Runtime: the shared libraries of MPI the libraries link (dpkg-shlibdeps adds
# them, with the C and C++ runtimes, when it is there).
set(_virda_deb_runtime_depends "")
find_program(VIRDA_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VIRDA_DPKG_SHLIBDEPS)
if(NOT VIRDA_DPKG_SHLIBDEPS)
  _virda_deb_owners(_virda_deb_runtime_depends ON ${_virda_mpi_libraries})
endif()

# Development: MPI's development files and launcher, and the headers that the
# installed headers include (Boost, FFTW 2's fftw.h).
set(_virda_deb_dev_depends "")
_virda_deb_owners(_virda_deb_dev_depends OFF
  ${_virda_mpi_libraries} "${MPI_CXX_COMPILER}" "${MPIEXEC_EXECUTABLE}")
foreach(dir IN LISTS Boost_INCLUDE_DIRS)
  _virda_deb_owners(_virda_deb_dev_depends ON "${dir}/boost/variant.hpp")
endforeach()
_virda_deb_owners(_virda_deb_dev_depends ON "${FFTW2_INCLUDE_DIR}/fftw.h")
if(TARGET virda-stats)
  # The tool's HDF5 (which it publishes on its target): the shared library
  # itself, not its development files (nor what HDF5 links in turn, which
  # HDF5's package brings).
  get_target_property(_virda_hdf5_libraries virda-stats VIRDA_HDF5_LIBRARIES)
  list(FILTER _virda_hdf5_libraries INCLUDE REGEX "^/.*hdf5[^/]*$")
  _virda_deb_owners(_virda_deb_dev_depends ON ${_virda_hdf5_libraries})
endif()

set(_virda_deb_lib_name "libvirdastatistics${PROJECT_VERSION_MAJOR}")
string(REPLACE ";" ", " _virda_deb_runtime_depends "${_virda_deb_runtime_depends}")
list(PREPEND _virda_deb_dev_depends "${_virda_deb_lib_name} (= ${PROJECT_VERSION})")
string(REPLACE ";" ", " _virda_deb_dev_depends "${_virda_deb_dev_depends}")

set(CPACK_PACKAGE_NAME "virdastatistics")
set(CPACK_PACKAGE_VENDOR "VIRDA statistics developers")
set(CPACK_PACKAGE_CONTACT "VIRDA statistics developers <virda-statistics@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Statistics over distributed arrays in an MPI job")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_GENERATOR DEB)
# Debug information stays in the build tree; the packages carry stripped binaries.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME "${_virda_deb_lib_name}")
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${_virda_deb_runtime_depends}")
if(VIRDA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libvirdastatistics-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_virda_deb_dev_depends}")
# virda-stats reads datasets compressed by these HDF5 filter plugins when
# they are installed, and names the package in its refusal when not.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS
  "hdf5-plugin-lzf, liblzf1, hdf5-filter-plugin, hdf5-filter-plugin-blosc-serial, hdf5-filter-plugin-zfp-serial, bitshuffle")

if(TARGET virda_python)
  set(_virda_deb_python_depends "")
  _virda_deb_owners(_virda_deb_python_depends ON ${VIRDA_PYTHON_DEPENDENCY_FILES})
  list(PREPEND _virda_deb_python_depends "${_virda_deb_lib_name} (= ${PROJECT_VERSION})"
    "python3 (>= ${VIRDA_PYTHON_VERSION}~)" "python3 (<< ${VIRDA_PYTHON_NEXT_VERSION})")
  string(REPLACE ";" ", " _virda_deb_python_depends "${_virda_deb_python_depends}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME "python3-virdastatistics")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_virda_deb_python_depends}")
endif()

include(CPack)
cpack_add_component_group(lib DESCRIPTION
  "The statistics library and the reference framework runtime (shared libraries).")
cpack_add_component_group(dev DESCRIPTION
  "Headers, CMake package and pkg-config files of the statistics library, and the virda-stats tool.")
cpack_add_component(Runtime GROUP lib)
cpack_add_component(Development GROUP dev DEPENDS Runtime)
cpack_add_component(Tools GROUP dev DEPENDS Runtime)
if(TARGET virda_python)
  cpack_add_component_group(python DESCRIPTION
    "The Python module virdastatistics: the statistics for mpi4py programs, on NumPy blocks.")
  cpack_add_component(Python GROUP python DEPENDS Runtime)
endif()
