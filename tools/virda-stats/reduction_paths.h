#ifndef VIRDA_TOOLS_VIRDA_STATS_REDUCTION_PATHS_H
#define VIRDA_TOOLS_VIRDA_STATS_REDUCTION_PATHS_H

// The two ways reduce_grid takes (reduction.h), by whether the row
// dimension is reduced; both with reduce_grid's arguments and contract.

#include "reduction.h"

namespace virda_stats {

/// Over the row dimension: per-cell accumulators merged over the ranks, in
/// groups of cells within the memory budget. Collective over comm.
reduced_field reduce_over_rows(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                               const std::vector<statistic>& stats, virda::engine::quantile_method method,
                               std::size_t memory_budget, MPI_Comm comm);

/// With the row dimension kept: each rank reduces its own rows alone; the
/// result holds this rank's cells only. Collective over comm.
reduced_field reduce_within_rows(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                                 const std::vector<statistic>& stats, virda::engine::quantile_method method,
                                 std::size_t memory_budget, MPI_Comm comm);

} // namespace virda_stats

#endif // VIRDA_TOOLS_VIRDA_STATS_REDUCTION_PATHS_H
