#ifndef VIRDA_TESTS_HARNESS_SELF_WINDOW_LIB_H
#define VIRDA_TESTS_HARNESS_SELF_WINDOW_LIB_H

#include <mpi.h>

// A small shared library that makes its own MPI calls, standing in for the
// statistics library when checking what the MPI resource counter sees.
namespace window_lib {

struct Window {
    MPI_Win win = MPI_WIN_NULL;
    double* block = nullptr;
};

/// A window over `count` doubles from MPI_Alloc_mem; element i of rank r holds
/// 100 r + i. Collective over `comm`.
Window create(MPI_Comm comm, int count);

/// Element `index` of rank `rank`'s block: lock, get, unlock.
double read(const Window& window, int rank, int index);

/// Frees the window and its block. Collective over the window's communicator.
void release(Window& window);

/// A committed datatype of two doubles, made with MPI_Type_contiguous and
/// MPI_Type_create_resized (the intermediate type is freed).
MPI_Datatype make_pair_type();

} // namespace window_lib

#endif
