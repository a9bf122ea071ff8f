#ifndef VIRDA_ENGINE_WEIGHTED_MOMENTS_H
#define VIRDA_ENGINE_WEIGHTED_MOMENTS_H

/// \file
/// weighted_moments: the weighted mean and spread of values paired with
/// weights, held block by block on every rank.

#include "engine/moments.h"
#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <memory>

namespace virda::engine {

/// The finished weighted statistics, the same on every rank.
struct weighted_summary {
    std::int64_t count = 0;     ///< pairs counted (with policy omit, those without NaN)
    std::int64_t nan_count = 0; ///< pairs with a NaN value or weight
    double weight_sum = 0;      ///< sum of the weights, exact, rounded once
    double weighted_sum = 0;    ///< sum of w x, exact, rounded once
    /// sum(w x) / sum(w), both exact, divided and rounded once (NaN for no
    /// pairs or a NaN that propagates; infinities and a zero weight total as
    /// IEEE division gives them).
    double mean = 0;
    /// sum(w (x - mean)^2) / sum(w), from the exact sums of w, w x and w x^2
    /// (formed exactly before one rounding); NaN for no pairs or any
    /// infinity.
    double variance = 0;
    double stdev = 0; ///< the square root of the variance
};

/// Weighted sums of pairs (x, w): x and w of any number types (each pair
/// lines up a value and its weight), added in any number of blocks on each
/// rank and finished over a communicator in one MPI_Allreduce. Every product
/// w x and w x^2 is taken exactly (split into two doubles without rounding,
/// its factors first scaled by powers of two where they are very large or
/// small), so the sums are exact and every result depends only on the pairs,
/// never on how they are split into blocks or ranks.
class weighted_moments {
public:
    weighted_moments();
    ~weighted_moments();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    weighted_moments(weighted_moments&&) noexcept;
    weighted_moments& operator=(weighted_moments&&) noexcept;
    ///@}

    /// Adds the pairs (x[i], w[i]) of two runs of one length. No
    /// communication; runs of different lengths throw error(invalid_argument).
    void add(const values_view& x, const values_view& w);

    /// The summary of every pair added on every rank of comm. This is a
    /// collective operation and must be called by all processes in the
    /// communicator: one MPI_Allreduce. Errors as moments::finish.
    weighted_summary finish(MPI_Comm comm, nan_policy policy = nan_policy::propagate) const;

    /// Forgets every pair added.
    void clear();

private:
    struct state;
    std::unique_ptr<state> state_;
};

} // namespace virda::engine

#endif
