#ifndef VIRDA_TOOLS_VIRDA_STATS_OPERATIONS_H
#define VIRDA_TOOLS_VIRDA_STATS_OPERATIONS_H

#include "cli_options.h"
#include "report.h"

#include <mpi.h>

namespace virda_stats {

/// Reads the datasets that the command line names from its file and runs
/// its operation on the engine, slab by slab. The report is complete on
/// rank 0 (histogram counts are gathered there; other ranks hold zeros).
///
/// Collective over `comm`: every rank calls it with the same options and
/// every rank throws the same tool_error when the file, a dataset or the
/// pairing of datasets is unusable.
report run_operation(const cli_options& options, MPI_Comm comm);

} // namespace virda_stats

#endif
