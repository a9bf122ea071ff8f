#ifndef VIRDA_ENGINE_ALLOCATION_FAILURES_H
#define VIRDA_ENGINE_ALLOCATION_FAILURES_H

// Allocation failures on demand, for the tests of the paths that handle
// them: the engine's accumulators ask before they allocate their state.
// Not installed.

#include <new>

namespace virda::engine::detail {

/// Makes `count` allocations that the engine checks fail with
/// std::bad_alloc on this rank, after the next `after` of them (0 turns
/// it off). For tests.
void refuse_allocations(int count, int after = 0);

/// Throws std::bad_alloc when a refusal is pending (and uses it up).
void check_allocation();

} // namespace virda::engine::detail

#endif
