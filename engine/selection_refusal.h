#ifndef VIRDA_ENGINE_SELECTION_REFUSAL_H
#define VIRDA_ENGINE_SELECTION_REFUSAL_H

// How a selection's ranks learn that one of them was refused memory: a mark
// in the last slot of a round's sum, which every rank reaches. Not
// installed.

#include "engine/error.h"

#include <mpi.h>

#include <cstddef>
#include <cstdint>

namespace virda::engine::detail {

/// Added to a round's last slot by each rank refused memory since the last
/// round: more than any number of ranks that still need the values.
constexpr std::uint64_t refused_mark = std::uint64_t{1} << 40;

/// The error every rank throws on finding refused_mark in a round's sum.
error refused();

/// The part of a rank refused memory since the last round in the round's
/// sum of n counts (`flags` in the last slot, refused_mark among them),
/// from fixed room; then it throws refused(), as every rank does on
/// finding the mark in the sum.
[[noreturn]] void stand_in_and_throw(std::size_t n, std::uint64_t flags, MPI_Comm comm);

} // namespace virda::engine::detail

#endif
