#ifndef VIRDA_ENGINE_SELECTION_ROUND_SUM_H
#define VIRDA_ENGINE_SELECTION_ROUND_SUM_H

// The sum over the ranks of a selection round's counts, and the part in it
// of a rank that holds no counts (refused the memory for them). Not
// installed.

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace virda::engine::detail {

/// This rank's part in a sum of n counts over comm (n the same on every
/// rank, at least 1) when it holds none: zeros, with `last` in the final
/// slot, through the same collectives as sum_over_ranks makes on the other
/// ranks (it refuses the exchange's room, so every rank sums by
/// MPI_Allreduce in pieces). Returns MPI's code; `last_sum` gets the final
/// slot's sum. Several ranks, no allocation.
int stand_in_sum(std::size_t n, std::uint64_t last, std::uint64_t& last_sum, MPI_Comm comm);

/// global = the sum of every rank's `local` (n counts), on every rank.
/// Large sums go as a reduce-scatter of blocks by MPI_Sendrecv (step k:
/// this rank's copy of block rank + k out, rank - k's copy of this rank's
/// block in, into `incoming`) and an MPI_Allgatherv of the summed blocks:
/// this MPICH's MPI_Allreduce of megabytes of integers runs at a few tens
/// of MB/s, its point-to-point messages at gigabytes per second. Integer
/// sums, so the same counts either way. Collective over comm; returns MPI's
/// code (the same path on every rank: n is the same everywhere).
int sum_over_ranks(const std::uint64_t* local, std::uint64_t* global, std::size_t n,
                   std::vector<std::uint64_t>& incoming, MPI_Comm comm);

} // namespace virda::engine::detail

#endif
