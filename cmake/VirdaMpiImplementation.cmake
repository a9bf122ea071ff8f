# virda_mpi_implementation(<out_var> <target>)
#   Names the MPI implementation whose mpi.h the imported target <target>
#   (MPI::MPI_C or MPI::MPI_CXX) compiles against: "mpich", "openmpi", or
#   "unknown". The header tells, not the program names: a wrapper or a library
#   reached through Debian's alternatives may belong to either.
#   (virda_mpi_implementation_in, below, reads a list of directories.)
#
# virda_check_mpi_implementation(<target> <expected> <who>)
#   Fails configuration with a message naming both implementations unless
#   <target> is <expected>; <who> says what needs <expected>.
#
# Used by the project's build and by the installed CMake package, which
# refuses a consumer that found another MPI than the libraries were built with.
include_guard(GLOBAL)

function(virda_mpi_implementation out_var target)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT dirs)
    set(dirs "")
  endif()
  # mpi.h may also be in a directory the compiler searches on its own.
  virda_mpi_implementation_in(found ${dirs}
    ${CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

# virda_mpi_implementation_in(<out_var> <dir>...)
#   The same for the first of these directories that holds an mpi.h, as a
#   compiler searching them in this order would find it.
function(virda_mpi_implementation_in out_var)
  set(found unknown)
  foreach(dir IN LISTS ARGN)
    if(EXISTS "${dir}/mpi.h")
      file(STRINGS "${dir}/mpi.h" defines REGEX "^#[ \t]*define[ \t]+(MPICH_VERSION|OMPI_MAJOR_VERSION)[ \t]")
      if(defines MATCHES "MPICH_VERSION")
        set(found mpich)
      elseif(defines MATCHES "OMPI_MAJOR_VERSION")
        set(found openmpi)
      endif()
      break()
    endif()
  endforeach()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

function(virda_check_mpi_implementation target expected who)
  virda_mpi_implementation(found ${target})
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR
      "${who} needs MPI '${expected}', but the MPI found is '${found}' "
      "(mpiexec: ${MPIEXEC_EXECUTABLE}; C include directories: ${MPI_C_INCLUDE_DIRS}). "
      "Programs and libraries built against different MPI implementations cannot "
      "be linked or run together. Select '${expected}' by its program names: "
      "set MPI_EXECUTABLE_SUFFIX to .${expected} (Debian) or MPI_C_COMPILER and "
      "MPI_CXX_COMPILER to its compiler wrappers, in a fresh build directory.")
  endif()
endfunction()
