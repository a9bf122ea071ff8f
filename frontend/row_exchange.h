#ifndef VIRDA_FRONTEND_ROW_EXCHANGE_H
#define VIRDA_FRONTEND_ROW_EXCHANGE_H

// Rows of a distributed table moved between layouts: what the Python
// module's arrays and virda-stats need when data arrive laid out one way
// and are wanted another. Not installed.

#include <mpi.h>

#include <cstdint>
#include <vector>

namespace virda::frontend {

/// A run of rows: the first one's global index and how many.
struct row_range {
    std::int64_t first = 0;
    std::int64_t count = 0;
};

/// The balanced layout of `rows` rows over `ranks` ranks: with q = rows /
/// ranks and m = rows % ranks, the first m ranks hold q + 1 rows and the
/// others q, in rank order (with fewer rows than ranks the last ranks hold
/// none). The rows of rank `rank`. Local.
row_range balanced_rows(std::int64_t rows, int ranks, int rank);

/// The rows of every rank of a layout given by the rows each rank holds, in
/// rank order (prefix sums). Local.
std::vector<row_range> layout_of(const std::vector<std::int64_t>& rows_per_rank);

/// Moves rows of `row_bytes` bytes from the layout `from` (this rank's rows
/// at `in`) to the layout `to` (this rank's rows written to `out`, which
/// must not overlap `in`); both layouts hold the same rows in the same
/// order, and every rank passes the same two layouts. Each rank sends every
/// other rank the rows of its own that fall in that rank's range, point to
/// point, in pieces of at most 1 GiB (any size: counts and offsets are
/// 64-bit), and copies the rows it keeps. This is a collective operation
/// and must be called by all processes in the communicator. False when an
/// MPI call failed (under an error handler that returns).
bool exchange_rows(const void* in, void* out, std::int64_t row_bytes, const std::vector<row_range>& from,
                   const std::vector<row_range>& to, MPI_Comm comm);

} // namespace virda::frontend

#endif
