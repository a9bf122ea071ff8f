#ifndef VIRDA_TOOLS_VIRDA_STATS_MEMORY_CHECK_H
#define VIRDA_TOOLS_VIRDA_STATS_MEMORY_CHECK_H

// Whether a dataset fits in the memory of the ranks that read it: refused
// before any rank tries to allocate it, and checked again after.

#include "dataset_shape.h"

#include "framework/array/va.h"

#include <mpi.h>

#include <cstddef>
#include <string>

namespace virda_stats {

/// Refuses a dataset whose block of rows (as many as the largest rank gets)
/// of `element_bytes` each clearly cannot be allocated on this rank: more than
/// its address-space or data limit leaves, or than the machine's memory and
/// swap. Throws tool_error. Collective over `comm` (it counts the ranks on
/// this machine) before it can throw: call it inside together().
void check_memory_for(const dataset_shape& shape, std::size_t element_bytes, MPI_Comm comm);

/// Refuses `bytes` on this rank for dataset `shape` (its slabs) that clearly
/// cannot be allocated, as check_memory_for. Collective in the same way.
void check_memory_bytes(const dataset_shape& shape, unsigned long long bytes, MPI_Comm comm);

/// Checks on every rank that `data` really holds `rows` elements: an array
/// whose block could not be allocated comes back as a placeholder with none.
/// Collective over `comm`: every rank throws the same tool_error when any
/// rank's array is short.
template <typename T>
void require_allocated(const va<T>& data, long long rows, const std::string& name, MPI_Comm comm);

} // namespace virda_stats

#endif
