# Checks that programs and libraries of the build load the MPI library of the
# implementation the build was asked for, and never the other one, whatever
# Debian's alternatives (mpicxx, libmpi.so) point at:
#
#   cmake -DLDD=<ldd> -DEXPECTED=<mpich|openmpi> "-DFILES=<file>;..." -P loads_one_mpi.cmake
cmake_minimum_required(VERSION 3.20)

# MPICH's library is libmpich.so.12, Open MPI's libmpi.so.40.
set(library_mpich "libmpich\\.so")
set(library_openmpi "libmpi\\.so")
if(EXPECTED STREQUAL "mpich")
  set(other openmpi)
elseif(EXPECTED STREQUAL "openmpi")
  set(other mpich)
else()
  message(FATAL_ERROR "loads_one_mpi: EXPECTED must be mpich or openmpi, not '${EXPECTED}'")
endif()

if(NOT FILES)
  message(FATAL_ERROR "loads_one_mpi: no FILES given")
endif()

set(problems "")
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${LDD} ${file} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(APPEND problems "ldd ${file} failed: ${out}")
    continue()
  endif()
  if(NOT out MATCHES "${library_${EXPECTED}}")
    list(APPEND problems "${file} does not load ${EXPECTED}'s library")
  endif()
  if(out MATCHES "${library_${other}}")
    list(APPEND problems "${file} loads ${other}'s library")
  endif()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "loads_one_mpi:\n  ${text}")
endif()
list(LENGTH FILES count)
message("loads_one_mpi: ${count} file(s) load ${EXPECTED} only")
