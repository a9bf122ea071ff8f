#ifndef VIRDA_FRAMEWORK_ARRAY_FINALIZE_REGISTRY_H
#define VIRDA_FRAMEWORK_ARRAY_FINALIZE_REGISTRY_H

#include <cstdint>

namespace virda_detail {

/// Record of the arrays that currently hold an MPI window, in the order their
/// windows were created. At the start of MPI_Finalize every array still on
/// record is released through its `release` function, in that order (the same
/// on every rank, since windows are created collectively), so that no window
/// outlives MPI. Such an array makes no MPI call afterwards.
///
/// Returns the record's key (never 0). Needs MPI to be initialised.
std::uint64_t register_array(void* array, void (*release)(void*));

/// The array on record under `key` now lives at `array` (after a move).
void move_array(std::uint64_t key, void* array);

/// The record under `key` now belongs to `array`, released by `release`:
/// a window and block handed from an array to the list of kept windows, or
/// back to a new array. It keeps its place in the order.
void move_array(std::uint64_t key, void* array, void (*release)(void*));

/// Drops the record (the array released its window itself).
void unregister_array(std::uint64_t key);

} // namespace virda_detail

#endif
