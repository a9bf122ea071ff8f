#ifndef VIRDA_TOOLS_VIRDA_STATS_WIDE_INTEGERS_H
#define VIRDA_TOOLS_VIRDA_STATS_WIDE_INTEGERS_H

// Integers wider than a double's 53 bits, read as doubles.

#include <mpi.h>

#include <cstddef>

namespace virda_stats {

/// The number of values of magnitude 2^53 or more among `count` doubles,
/// summed over `comm` (collective): read from integers, they may have been
/// rounded (2^53 + 1 reads as 2^53).
long long count_beyond_exact(const double* values, std::size_t count, MPI_Comm comm);

} // namespace virda_stats

#endif
