#include "window_lib.h"

namespace window_lib {

Window create(MPI_Comm comm, int count)
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    Window window;
    const MPI_Aint bytes = static_cast<MPI_Aint>(count) * static_cast<MPI_Aint>(sizeof(double));
    MPI_Alloc_mem(bytes, MPI_INFO_NULL, &window.block);
    for (int i = 0; i < count; ++i) {
        window.block[i] = 100.0 * rank + i;
    }
    MPI_Win_create(window.block, bytes, sizeof(double), MPI_INFO_NULL, comm, &window.win);
    return window;
}

double read(const Window& window, int rank, int index)
{
    double value = 0.0;
    MPI_Win_lock(MPI_LOCK_EXCLUSIVE, rank, MPI_MODE_NOCHECK, window.win);
    MPI_Get(&value, 1, MPI_DOUBLE, rank, index, 1, MPI_DOUBLE, window.win);
    MPI_Win_unlock(rank, window.win);
    return value;
}

void release(Window& window)
{
    MPI_Win_free(&window.win);
    MPI_Free_mem(window.block);
    window.block = nullptr;
}

MPI_Datatype make_pair_type()
{
    MPI_Datatype pair = MPI_DATATYPE_NULL;
    MPI_Type_contiguous(2, MPI_DOUBLE, &pair);
    MPI_Datatype resized = MPI_DATATYPE_NULL;
    MPI_Type_create_resized(pair, 0, 2 * sizeof(double), &resized);
    MPI_Type_free(&pair);
    MPI_Type_commit(&resized);
    return resized;
}

} // namespace window_lib
