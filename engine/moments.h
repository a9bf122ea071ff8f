#ifndef VIRDA_ENGINE_MOMENTS_H
#define VIRDA_ENGINE_MOMENTS_H

/// \file
/// moments: count, exact sum, mean, variance and extremes of values added
/// block by block on every rank, finished over a communicator.

#include "engine/number.h"
#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace virda::engine {

/// What a statistic does with NaN values.
enum class nan_policy {
    propagate, ///< any NaN makes the result NaN (NumPy's mean, var, min, ...)
    omit,      ///< NaN values are left out (NumPy's nanmean, nanvar, nanmin, ...)
};

/// The finished statistics of every value added on every rank, per column;
/// the same on every rank.
class moment_summary {
public:
    /// Columns of the accumulator it was finished from.
    std::size_t columns() const { return columns_.size(); }
    /// Values counted: those that are not NaN.
    std::int64_t count(std::size_t column = 0) const { return columns_.at(column).count; }
    /// NaN values seen.
    std::int64_t nan_count(std::size_t column = 0) const { return columns_.at(column).nan_count; }
    /// The exact total rounded once (0 for no values; NaN when NaN propagates;
    /// infinities as IEEE addition gives them, without overflow in between).
    double sum(std::size_t column = 0) const;
    /// sum / count, the total rounded first (NaN for no values).
    double mean(std::size_t column = 0) const;
    /// The exact total divided by the count and rounded once to a long
    /// double: for results in a narrower type (a float32 mean).
    long double precise_mean(std::size_t column = 0) const;
    /// The variance sum((x - mean)^2) / (count - ddof), from the exact totals
    /// of x and x^2: count * sum(x^2) - sum(x)^2 is formed exactly and rounded
    /// once to a long double before the division, so it never cancels and
    /// never comes out negative. count - ddof <= 0 divides by zero (NaN or
    /// +inf, as NumPy gives); any infinity gives NaN.
    double variance(double ddof = 0, std::size_t column = 0) const;
    /// The square root of the variance.
    double stdev(double ddof = 0, std::size_t column = 0) const;
    /// The least and greatest value (-0.0 counts below +0.0); NaN when there
    /// are no values or a NaN propagates.
    ///@{
    double min(std::size_t column = 0) const;
    double max(std::size_t column = 0) const;
    ///@}
    /// The same, exactly, in the accumulator's number type (meaningful only
    /// when count() > 0 and no NaN propagates).
    ///@{
    number exact_min(std::size_t column = 0) const { return columns_.at(column).least; }
    number exact_max(std::size_t column = 0) const { return columns_.at(column).greatest; }
    ///@}

    /// \cond internal
    struct column_result {
        std::int64_t count = 0;
        std::int64_t nan_count = 0;
        double sum = 0;
        long double precise_mean = 0;
        long double spread = 0; ///< count * sum(x^2) - sum(x)^2, rounded once
        bool infinite = false;  ///< some value was infinite
        bool spread_known = true; ///< the squares were summed
        number least;
        number greatest;
    };
    moment_summary(std::vector<column_result> columns, nan_policy policy)
        : columns_(std::move(columns)), policy_(policy)
    {
    }
    /// \endcond

private:
    bool propagates_nan(std::size_t column) const;
    std::vector<column_result> columns_;
    nan_policy policy_;
};

/// Count, exact sum, mean, variance and extremes of values of one number
/// type, added in any number of blocks on each rank and finished over a
/// communicator. With one column every value added counts; with k columns a
/// table of k columns adds column j to column j (axis 0 of a rank's rows).
///
/// Exact: the sums of x and x^2 are exact totals, so every result depends
/// only on the values, never on how they were split into blocks or ranks or
/// on their order: the same bits. One pass over the data.
///
/// Memory: about 2.5 KB per column for floating-point data (four exact
/// totals), 1.3 KB for integers, plus 260 KB per exact total that meets
/// values spanning more than about 2^67 in one block.
class moments {
public:
    /// An empty accumulator for values of `type` in `columns` columns
    /// (at least 1). Without `spread` the squares are not summed (about half
    /// the work per value) and every variance it finishes with is NaN.
    /// Allocates its state and its record here; std::bad_alloc passes to the
    /// caller.
    explicit moments(number_type type, std::int64_t columns = 1, bool spread = true);
    ~moments();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    moments(moments&&) noexcept;
    moments& operator=(moments&&) noexcept;
    ///@}

    /// The number type of the values it takes.
    number_type type() const { return type_; }
    /// The number of columns.
    std::int64_t columns() const { return columns_; }

    /// Adds a run of values (to the one column). No communication. A run of
    /// another number type, or a run given to an accumulator of several
    /// columns, throws error(invalid_argument) on this rank.
    void add(const values_view& values);
    /// Adds a table: every value to the one column, or, with k columns,
    /// column j to column j (the table must have k columns). No
    /// communication; errors as for a run.
    void add(const table_view& values);

    /// The summary of every value added on every rank of comm. This is a
    /// collective operation and must be called by all processes in the
    /// communicator, with accumulators of the same type, columns and spread:
    /// exactly one MPI_Allreduce. When some rank could not allocate what
    /// adding needed, every rank throws error(out_of_memory) naming the
    /// lowest such rank; accumulators of different types, columns or spread
    /// on different ranks throw error(ranks_disagree) on every rank (where
    /// their records have the same length; otherwise MPI reports the
    /// mismatch). The accumulator
    /// is unchanged: more values may be added and finished again.
    moment_summary finish(MPI_Comm comm, nan_policy policy = nan_policy::propagate) const;

    /// The summary of this rank's values alone. No communication.
    moment_summary finish_local(nan_policy policy = nan_policy::propagate) const;

    /// Forgets every value added.
    void clear();

private:
    struct state;
    number_type type_;
    std::int64_t columns_;
    bool spread_;
    std::unique_ptr<state> state_;
};

} // namespace virda::engine

#endif
