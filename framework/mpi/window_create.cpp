#include "framework/mpi/window_create.h"

namespace virda_detail {

bool create_window(void* base, MPI_Aint bytes, int unit, MPI_Comm comm, MPI_Win* win)
{
    // Errors of window creation go to the communicator's handler, which by
    // default ends the job; the array reports them itself instead.
    MPI_Errhandler previous = MPI_ERRHANDLER_NULL;
    MPI_Comm_get_errhandler(comm, &previous);
    MPI_Comm_set_errhandler(comm, MPI_ERRORS_RETURN);
    *win = MPI_WIN_NULL;
    const int rc = MPI_Win_create(base, bytes, unit, MPI_INFO_NULL, comm, win);
    MPI_Comm_set_errhandler(comm, previous);
    MPI_Errhandler_free(&previous);
    if (rc != MPI_SUCCESS) {
        *win = MPI_WIN_NULL;
        return false;
    }
    return true;
}

} // namespace virda_detail
