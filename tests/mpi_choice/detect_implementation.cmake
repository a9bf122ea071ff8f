# Checks how the build tells MPI implementations apart by their mpi.h
# (cmake/VirdaMpiImplementation.cmake), on headers written here and on the
# real header the build compiled against:
#
#   cmake -DMODULE=<VirdaMpiImplementation.cmake> -DWORK_DIR=<dir>
#         -DEXPECTED=<mpich|openmpi> -DMPI_INCLUDE_DIRS=<dirs> -P detect_implementation.cmake
cmake_minimum_required(VERSION 3.20)
include("${MODULE}")

set(failures "")
function(expect what dirs expected)
  virda_mpi_implementation_in(found ${dirs})
  if(NOT found STREQUAL expected)
    set(failures "${failures}\n  ${what}: '${found}', expected '${expected}'" PARENT_SCOPE)
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
foreach(kind IN ITEMS mpich openmpi indented serial none)
  file(MAKE_DIRECTORY "${WORK_DIR}/${kind}")
endforeach()
# The lines each implementation's mpi.h carries (and a comment that must not
# count: only a definition does).
file(WRITE "${WORK_DIR}/mpich/mpi.h"
  "/* built by OMPI_MAJOR_VERSION-free tools */\n#define MPICH_NAME     4\n#define MPICH_VERSION \"4.0.2\"\n")
file(WRITE "${WORK_DIR}/openmpi/mpi.h"
  "/* unlike MPICH_VERSION */\n#define OMPI_MAJOR_VERSION 4\n#define OMPI_MINOR_VERSION 1\n")
file(WRITE "${WORK_DIR}/indented/mpi.h" "#  define\tOMPI_MAJOR_VERSION\t4\n")
file(WRITE "${WORK_DIR}/serial/mpi.h" "/* a stub MPI */\n#define MPI_VERSION 3\n")

expect("MPICH's header" "${WORK_DIR}/mpich" mpich)
expect("Open MPI's header" "${WORK_DIR}/openmpi" openmpi)
expect("a definition with blanks inside" "${WORK_DIR}/indented" openmpi)
expect("another MPI's header" "${WORK_DIR}/serial" unknown)
expect("no header at all" "${WORK_DIR}/none" unknown)
expect("no directory" "" unknown)
# The first directory holding an mpi.h decides, as it does for the compiler.
expect("Open MPI first" "${WORK_DIR}/none;${WORK_DIR}/openmpi;${WORK_DIR}/mpich" openmpi)
expect("MPICH first" "${WORK_DIR}/mpich;${WORK_DIR}/openmpi" mpich)
expect("a stub first" "${WORK_DIR}/serial;${WORK_DIR}/mpich" unknown)

# The header this build compiled against.
expect("the build's MPI (${MPI_INCLUDE_DIRS})" "${MPI_INCLUDE_DIRS}" "${EXPECTED}")

if(failures)
  message(FATAL_ERROR "detect_implementation: wrong answers:${failures}")
endif()
message("detect_implementation: all answers right")
