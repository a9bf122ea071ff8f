#ifndef VIRDA_TOOLS_VIRDA_STATS_SUMMARY_H
#define VIRDA_TOOLS_VIRDA_STATS_SUMMARY_H

#include "dataset_shape.h"
#include "h5_reader.h"
#include "report.h"

#include <mpi.h>

#include <cstddef>
#include <string>
#include <vector>

namespace virda_stats {

/// Appends the summary of dataset `s` of `in` to `rows`: one row for a
/// one-dimensional dataset, a chosen column or a grid, one per column of a
/// table, one per component of vectors; a count of 0 and no statistics for a
/// dataset without rows. Over the values the rules of `s` take: count,
/// extremes, NaN and missing counts, mean and stdev from one pass over this
/// rank's rows read slab by slab, the median from the rounds of an exact
/// selection that read the slabs again (slab_statistics), within
/// `memory_budget` bytes per rank. Records what the read found about wide
/// integers in `ref` (when given). Collective over `comm` (the file's
/// communicator).
void summarise(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows, dataset_ref* ref,
               std::size_t memory_budget, MPI_Comm comm);

/// The summary of several datasets of one file, in the order given, for the
/// demo catalogue. Collective over `comm` (VIRDA_COMM), as run_operation.
report summarise_file(const std::string& path, const std::vector<std::string>& datasets, MPI_Comm comm);

} // namespace virda_stats

#endif
