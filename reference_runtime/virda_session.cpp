#include "reference_runtime/virda_session.h"

#include "framework/runtime/virda_globals.h"

virda_session::virda_session(int* argc, char*** argv) : owns_mpi_(false)
{
    int initialised = 0;
    MPI_Initialized(&initialised);
    if (!initialised) {
        MPI_Init(argc, argv);
        owns_mpi_ = true;
    }
    VIRDA_COMM = MPI_COMM_WORLD;
    MPI_Comm_rank(VIRDA_COMM, &VIRDA_ID);
}

virda_session::~virda_session()
{
    int finalised = 0;
    MPI_Finalized(&finalised);
    if (owns_mpi_ && !finalised) {
        MPI_Finalize();
    }
}

int virda_session::rank() const
{
    return VIRDA_ID;
}

int virda_session::size() const
{
    int n = 1;
    MPI_Comm_size(VIRDA_COMM, &n);
    return n;
}
