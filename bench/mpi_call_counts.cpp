// The MPI calls the benchmark counts, defined in the program: the dynamic
// linker binds the libraries' calls to these, which count and forward to the
// profiling interface (PMPI_...).
#include "mpi_call_counts.h"

#include <mpi.h>

namespace {
bench::mpi_call_counts counts;
}

bench::mpi_call_counts bench::mpi_calls()
{
    return counts;
}

extern "C" {

int MPI_Win_create(void* base, MPI_Aint size, int unit, MPI_Info info, MPI_Comm comm, MPI_Win* win)
{
    ++counts.windows_created;
    return PMPI_Win_create(base, size, unit, info, comm, win);
}

int MPI_Win_free(MPI_Win* win)
{
    ++counts.windows_freed;
    return PMPI_Win_free(win);
}

int MPI_Allreduce(const void* in, void* out, int n, MPI_Datatype t, MPI_Op op, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Allreduce(in, out, n, t, op, comm);
}

int MPI_Reduce(const void* in, void* out, int n, MPI_Datatype t, MPI_Op op, int root, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Reduce(in, out, n, t, op, root, comm);
}

int MPI_Barrier(MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Barrier(comm);
}

int MPI_Bcast(void* buffer, int n, MPI_Datatype t, int root, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Bcast(buffer, n, t, root, comm);
}

int MPI_Allgather(const void* in, int n, MPI_Datatype t, void* out, int m, MPI_Datatype u, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Allgather(in, n, t, out, m, u, comm);
}

int MPI_Allgatherv(const void* in, int n, MPI_Datatype t, void* out, const int* counts_in, const int* displs,
                   MPI_Datatype u, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Allgatherv(in, n, t, out, counts_in, displs, u, comm);
}

int MPI_Scan(const void* in, void* out, int n, MPI_Datatype t, MPI_Op op, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Scan(in, out, n, t, op, comm);
}

int MPI_Exscan(const void* in, void* out, int n, MPI_Datatype t, MPI_Op op, MPI_Comm comm)
{
    ++counts.collectives;
    return PMPI_Exscan(in, out, n, t, op, comm);
}

} // extern "C"
