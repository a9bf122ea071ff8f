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

/// VIRDA_COMM split in two by the parity of the rank (side 0: even ranks),
/// freed when it goes out of scope. At one rank the only half is the whole
/// job. Construction and destruction are collective over VIRDA_COMM.
class halves {
public:
    halves() : side_(VIRDA_ID % 2) { MPI_Comm_split(VIRDA_COMM, side_, VIRDA_ID, &comm_); }
    ~halves() { MPI_Comm_free(&comm_); }
    halves(const halves&) = delete;
    halves& operator=(const halves&) = delete;

    /// This rank's half.
    MPI_Comm comm() const { return comm_; }
    /// 0 or 1: which half this rank is in.
    int side() const { return side_; }

private:
    int side_;
    MPI_Comm comm_ = MPI_COMM_NULL;
};

/// Calls f() with VIRDA_COMM set to `comm` and VIRDA_ID to this process's
/// rank in it; both are restored afterwards, also when f throws. Local.
template <typename F>
void with_framework_comm(MPI_Comm comm, F f)
{
    struct restore {
        MPI_Comm comm = VIRDA_COMM;
        int id = VIRDA_ID;
        ~restore()
        {
            VIRDA_COMM = comm;
            VIRDA_ID = id;
        }
    } saved;
    VIRDA_COMM = comm;
    MPI_Comm_rank(comm, &VIRDA_ID);
    f();
}

/// Calls f() with VIRDA_COMM and VIRDA_ID replaced by a communicator that
/// numbers the ranks of VIRDA_COMM in reverse (collective over VIRDA_COMM);
/// both are restored and that communicator freed afterwards, also when f
/// throws. Anything f creates on it must be released inside f.
template <typename F>
void with_reversed_ranks(F f)
{
    struct freed {
        MPI_Comm comm = MPI_COMM_NULL;
        ~freed() { MPI_Comm_free(&comm); }
    } reversed;
    MPI_Comm_split(VIRDA_COMM, 0, ranks() - 1 - VIRDA_ID, &reversed.comm);
    with_framework_comm(reversed.comm, f);
}

} // namespace virda_test

#endif
