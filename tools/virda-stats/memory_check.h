#ifndef VIRDA_TOOLS_VIRDA_STATS_MEMORY_CHECK_H
#define VIRDA_TOOLS_VIRDA_STATS_MEMORY_CHECK_H

// Whether a dataset fits in the memory of the ranks that read it: refused
// before any rank tries to allocate it, and checked again after.

#include "dataset_shape.h"

#include <mpi.h>

#include <cstddef>
#include <string>

namespace virda_stats {

/// Refuses `bytes` on this rank for dataset `shape` (its slabs) that clearly
/// cannot be allocated: more than its address-space or data limit leaves, or
/// than its share of the machine's memory and swap. Throws tool_error.
/// Collective over `comm` (it counts the ranks on this machine) before it
/// can throw: call it inside together().
void check_memory_bytes(const dataset_shape& shape, unsigned long long bytes, MPI_Comm comm);

} // namespace virda_stats

#endif
