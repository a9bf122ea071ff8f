#ifndef VIRDA_FRAMEWORK_MPI_WINDOW_CREATE_H
#define VIRDA_FRAMEWORK_MPI_WINDOW_CREATE_H

#include <mpi.h>

namespace virda_detail {

/// MPI_Win_create over `base` (`bytes` bytes, displacement unit `unit`) on
/// `comm`, with errors returned instead of handed to the communicator's error
/// handler, which is restored afterwards. Returns false, with *win left
/// MPI_WIN_NULL, when MPI could not create the window; with this MPICH that
/// happens on every rank alike, since the window's context id is agreed on
/// collectively. Collective over `comm`.
bool create_window(void* base, MPI_Aint bytes, int unit, MPI_Comm comm, MPI_Win* win);

} // namespace virda_detail

#endif
