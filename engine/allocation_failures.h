#ifndef VIRDA_ENGINE_ALLOCATION_FAILURES_H
#define VIRDA_ENGINE_ALLOCATION_FAILURES_H

// Allocation failures on demand, for the tests of the paths that handle
// them: the engine's accumulators ask before they allocate their state.
// Not installed.

#include <new>
#include <string>
#include <vector>

namespace virda::engine::detail {

/// Makes `count` allocations that the engine checks fail with
/// std::bad_alloc on this rank, after the next `after` of them (0 turns
/// it off), and starts a new record of the sites checked. For tests.
void refuse_allocations(int count, int after = 0);

/// Throws std::bad_alloc when a refusal is pending (and uses it up).
/// `site` names the allocation: while refusals are pending it is recorded,
/// so that a test can tell which allocations its runs reached.
void check_allocation(const char* site = "");

/// The named sites checked while refusals were pending since the last
/// refuse_allocations, each once, in the order first met.
std::vector<std::string> allocation_sites_checked();

} // namespace virda::engine::detail

#endif
