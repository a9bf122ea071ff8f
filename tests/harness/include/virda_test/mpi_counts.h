#ifndef VIRDA_TEST_MPI_COUNTS_H
#define VIRDA_TEST_MPI_COUNTS_H

#include <utility>

namespace virda_test {

/// Counts of MPI resources and calls made by this process since MPI_Init, as
/// seen by the libvirda_mpi_counter interposer (which every test program
/// loads ahead of MPI). Creations and frees are counted when the MPI call
/// succeeds; calls counters count every call.
struct MpiCounts {
    long windows_created = 0; ///< MPI_Win_create, _allocate, _create_dynamic, _allocate_shared
    long windows_freed = 0;   ///< MPI_Win_free
    long types_created = 0;   ///< derived datatypes from the MPI_Type_* constructors and MPI_Type_dup
    long types_freed = 0;     ///< MPI_Type_free
    long mem_allocated = 0;   ///< MPI_Alloc_mem
    long mem_freed = 0;       ///< MPI_Free_mem
    long gets = 0;            ///< MPI_Get
    long locks = 0;           ///< MPI_Win_lock
    long unlocks = 0;         ///< MPI_Win_unlock
    long barriers = 0;        ///< MPI_Barrier
    long allreduces = 0;      ///< MPI_Allreduce
    long reduces = 0;         ///< MPI_Reduce
    long post_finalize_calls = 0; ///< wrapped MPI calls made after MPI_Finalize returned

    long windows_open() const { return windows_created - windows_freed; }
    long types_live() const { return types_created - types_freed; }
    long mem_live() const { return mem_allocated - mem_freed; }
};

/// The counts now.
MpiCounts mpi_counts();

/// Counter by counter difference: what happened between two snapshots.
MpiCounts operator-(const MpiCounts& later, const MpiCounts& earlier);

/// What `action` did: the counts after it minus the counts before it, on this
/// rank. Collective if `action` is.
template <class Action>
MpiCounts mpi_counts_during(Action&& action)
{
    const MpiCounts before = mpi_counts();
    std::forward<Action>(action)();
    return mpi_counts() - before;
}

} // namespace virda_test

#endif
