#ifndef VIRDA_TOOLS_VIRDA_STATS_CELL_SHARES_H
#define VIRDA_TOOLS_VIRDA_STATS_CELL_SHARES_H

// Each rank's share of a group of cells' records, and their gathering.

#include <mpi.h>

#include <cstddef>
#include <vector>

namespace virda_stats {

/// Where each rank's share of a group's cells lies among records of `width`
/// values: MPI_Allgatherv's counts and displacements, made in the agreed
/// step before the collectives that use them.
struct share_layout {
    std::vector<int> counts;
    std::vector<int> displacements;

    /// The layout of `cells` records of `width` values split as
    /// float_cell_moments::share_of splits them over `ranks` ranks. Local;
    /// throws tool_error (the same on every rank) beyond int counts.
    share_layout(std::size_t cells, std::size_t width, int ranks);
};

/// Gives every rank every share of records laid out as `layout` says (in
/// place: each rank holds its own share). Allocates nothing. Collective
/// over comm.
void gather_shares(void* records, MPI_Datatype type, const share_layout& layout, MPI_Comm comm);

} // namespace virda_stats

#endif // VIRDA_TOOLS_VIRDA_STATS_CELL_SHARES_H
