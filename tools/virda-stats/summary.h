#ifndef VIRDA_TOOLS_VIRDA_STATS_SUMMARY_H
#define VIRDA_TOOLS_VIRDA_STATS_SUMMARY_H

#include "dataset_shape.h"
#include "h5_reader.h"
#include "report.h"

#include <mpi.h>

#include <string>
#include <vector>

namespace virda_stats {

/// Appends the summary of dataset `s` of `in` to `rows`: one row for a
/// one-dimensional dataset, a chosen column or a grid, one per column of a
/// table, one per component of vectors; a count of 0 and no statistics for a
/// dataset without rows. Over the values the rules of `s` take: the count,
/// extremes, NaN and missing counts of every column come from this rank's
/// block and one reduction; mean, stdev and median from the library (for a
/// table of at least as many columns as ranks, each rank's own columns
/// alone). Records what the read found about wide integers in `ref` (when
/// given). Collective over `comm` (VIRDA_COMM, the file's communicator).
void summarise(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows, dataset_ref* ref,
               MPI_Comm comm);

/// The summary of several datasets of one file, in the order given, for the
/// demo catalogue. Collective over `comm` (VIRDA_COMM), as run_operation.
report summarise_file(const std::string& path, const std::vector<std::string>& datasets, MPI_Comm comm);

} // namespace virda_stats

#endif
