#ifndef VIRDA_BENCH_MPI_CALL_COUNTS_H
#define VIRDA_BENCH_MPI_CALL_COUNTS_H

// MPI calls counted by interposing them in the benchmark program
// (mpi_call_counts.cpp defines the MPI functions themselves and forwards to
// the profiling interface), so that what an operation makes per call can be
// printed beside its time without any hook in the library.

namespace bench {

struct mpi_call_counts {
    long collectives = 0; ///< Allreduce, Reduce, Barrier, Bcast, Allgather(v), Gather(v), Scan, Exscan
    long windows_created = 0;
    long windows_freed = 0;
};

/// The calls this process has made so far.
mpi_call_counts mpi_calls();

} // namespace bench

#endif
