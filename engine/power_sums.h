#ifndef VIRDA_ENGINE_POWER_SUMS_H
#define VIRDA_ENGINE_POWER_SUMS_H

/// \file
/// power_sums: the exact totals of the normal equations of a least-squares
/// polynomial fit, over blocks of pairs held by every rank.

#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace virda::engine {

/// The totals of a fit of order m, the same on every rank.
struct power_totals {
    std::int64_t count = 0;       ///< pairs added over all ranks
    std::vector<double> powers;   ///< sum w t^k for k = 0 .. 2m (2m + 1 totals)
    std::vector<double> moments;  ///< sum w y t^k for k = 0 .. m (m + 1 totals)
    /// Whether every total is finite (no NaN or infinity among the pairs'
    /// terms, no total beyond the doubles).
    bool finite() const;
};

/// The power sums of a polynomial fit of order m in the variable
/// t = (x - centre) / scale: sum w t^k for k <= 2m (the normal matrix
/// A(i, k) = sum w t^(i+k)) and sum w y t^k for k <= m (the right-hand
/// side), with w = 1 for unweighted pairs. Each term is formed in double,
/// as a fit in double forms it (t = (x - centre) / scale, then w, w t, w t^2,
/// ... by successive products, and each power times y); the terms are then
/// added exactly (exact_sum), so that the totals are the exact sums of those
/// terms rounded once: the same bits however the pairs are split into blocks
/// and ranks.
///
/// x, y and w are runs of any number type, taken as doubles; a NaN or an
/// infinity makes the totals it reaches NaN or infinite (power_totals::finite
/// says so). The accumulator holds 3m + 2 exact sums and a buffer of 2048
/// terms for each (about 50 KB per order); an exact sum whose values need its
/// tables takes about 260 KB more when first added to.
class power_sums {
public:
    /// A fit of `order` (0 to 2^20) in t = (x - centre) / scale. No
    /// communication. Throws error(invalid_argument) for an order outside
    /// that range, a scale that is 0 or not finite, or a centre that is not
    /// finite; std::bad_alloc when its buffers cannot be allocated (the
    /// caller agrees on that over the ranks before going on, as for any
    /// construction).
    power_sums(int order, double centre, double scale);
    ~power_sums();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    power_sums(power_sums&&) noexcept;
    power_sums& operator=(power_sums&&) noexcept;
    ///@}

    /// The order of the fit.
    int order() const;

    /// Sets the fit's variable to t = (x - centre) / scale, for a caller that
    /// allocates the accumulator before it knows the range of x (so that its
    /// allocation is agreed on with the range). No communication. Throws
    /// error(invalid_argument) for a centre or scale as the constructor
    /// refuses, or once pairs have been added.
    void set_variable(double centre, double scale);

    /// Adds the pairs (x[i], y[i]) with weight 1. No communication; runs of
    /// different lengths throw error(invalid_argument). Memory an exact sum
    /// cannot get is not thrown here: the rank is marked failed, and finish
    /// reports it on every rank.
    void add(const values_view& x, const values_view& y);
    /// Adds the pairs (x[i], y[i]) with weights w[i]. As add(x, y).
    void add(const values_view& x, const values_view& y, const values_view& w);

    /// Whether this rank could not allocate what an add needed.
    bool failed() const;

    /// The totals of every pair added on every rank of comm. This is a
    /// collective operation and must be called by all processes in the
    /// communicator: exactly one MPI_Allreduce, which also agrees on the
    /// failures and on the arguments (order, centre, scale). Throws, on every
    /// rank alike, error(out_of_memory) naming the lowest rank that failed,
    /// error(ranks_disagree) when the ranks' accumulators differ,
    /// error(mpi_failure) when the reduction fails.
    power_totals finish(MPI_Comm comm) const;

    /// As finish, into `totals`: the 2m + 1 power sums, then the m + 1
    /// moments (3m + 2 doubles). Allocates nothing, for a caller that holds
    /// every buffer before it communicates. Returns the count of pairs.
    /// Collective as finish.
    std::int64_t finish_into(MPI_Comm comm, double* totals) const;

    /// Forgets every pair added (and a failure).
    void clear();

private:
    struct state;
    std::unique_ptr<state> state_;
};

} // namespace virda::engine

#endif
