#ifndef VIRDA_TOOLS_VIRDA_STATS_DATASET_REFS_H
#define VIRDA_TOOLS_VIRDA_STATS_DATASET_REFS_H

// What a run reports about the datasets it reads, and their inspection
// settled by every rank together.

#include "dataset_shape.h"
#include "h5_reader.h"
#include "report.h"

#include <mpi.h>

#include <string>

namespace virda_stats {

/// What a run reports about a dataset it read, from its shape.
dataset_ref ref_of(const dataset_shape& s);

/// Records in `ref` (when given) what a read found about the exactness of
/// wide integers: `beyond_exact` more values beyond 2^53.
void note_read(dataset_ref* ref, const dataset_shape& s, long long beyond_exact);

/// h5_input::inspect, settled by every rank together: inspect() is the same
/// on every rank, but a rank that failed for a local reason must not leave
/// alone. Collective over `comm`.
dataset_shape inspect_together(const h5_input& in, const std::string& name, const reading_options& reading,
                               MPI_Comm comm);

} // namespace virda_stats

#endif
