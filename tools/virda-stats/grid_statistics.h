#ifndef VIRDA_TOOLS_VIRDA_STATS_GRID_STATISTICS_H
#define VIRDA_TOOLS_VIRDA_STATS_GRID_STATISTICS_H

// histogram2d and binned-statistic: pairs of datasets read side by side,
// binned on a grid of equal-width bins along x (and y).

#include "cli_options.h"
#include "dataset_shape.h"
#include "h5_reader.h"
#include "report.h"

#include <mpi.h>

#include <cstddef>
#include <vector>

namespace virda_stats {

/// The counts of the pairs per bin and, with values (binned-statistic), the
/// statistic o.statistic of the values per bin. `shapes` are x, then y when
/// `dims` is 2, then the values; `refs` the reports of the same datasets.
/// Every bin holds its lower edges and, the last along each axis, its upper
/// too; a pair with a coordinate outside, NaN or infinite is in no bin.
/// Without o.range the range of each axis is its finite values' extremes
/// (one read more), widened by 0.5 each way where they are equal. Sums are
/// exact, medians exact order statistics, the same at any rank count.
///
/// Memory: the counts and results of every bin on every rank; with values
/// each rank keeps the bin and value of every pair in a bin it reads (16
/// bytes each, within the memory budget, else every rank stops with the same
/// error). Collective over `comm`.
grid_result bin_pairs(const h5_input& in, const std::vector<const dataset_shape*>& shapes, std::size_t dims,
                      const cli_options& o, const std::vector<dataset_ref*>& refs, MPI_Comm comm);

} // namespace virda_stats

#endif
