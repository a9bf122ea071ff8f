#ifndef VIRDA_TEST_RANKS_H
#define VIRDA_TEST_RANKS_H

#include "framework/runtime/virda_globals.h"

#include <mpi.h>

namespace virda_test {

/// This process's rank and the number of processes in MPI_COMM_WORLD.
inline int world_rank()
{
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

inline int world_size()
{
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

/// The number of processes in the framework's communicator, VIRDA_COMM.
inline int ranks()
{
    int n = 1;
    MPI_Comm_size(VIRDA_COMM, &n);
    return n;
}

} // namespace virda_test

#endif
