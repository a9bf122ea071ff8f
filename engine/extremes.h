#ifndef VIRDA_ENGINE_EXTREMES_H
#define VIRDA_ENGINE_EXTREMES_H

/// \file
/// extremes: the least and greatest value and where each first occurs, of
/// values added block by block on every rank, finished over a communicator.

#include "engine/moments.h"
#include "engine/number.h"
#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace virda::engine {

/// The finished extremes of every value added on every rank, per column;
/// the same on every rank. Positions are global row indices: the rows of
/// rank r follow those of ranks 0..r-1, in the order they were added (with
/// one column every value added is a row).
class extremes_summary {
public:
    /// The number of columns.
    std::size_t columns() const { return columns_.size(); }
    /// Values that are not NaN.
    std::int64_t count(std::size_t column = 0) const { return columns_.at(column).count; }
    /// NaN values.
    std::int64_t nan_count(std::size_t column = 0) const { return columns_.at(column).nan_count; }
    /// Rows in all (values and NaN).
    std::int64_t rows() const { return rows_; }
    /// Whether the result is NaN: a NaN propagates (the policy and a NaN
    /// seen), or there are no values.
    bool is_nan(std::size_t column = 0) const;
    /// The least and greatest value, exactly, in the accumulator's number
    /// type (-0.0 counts below +0.0); a NaN when is_nan().
    ///@{
    number min(std::size_t column = 0) const;
    number max(std::size_t column = 0) const;
    ///@}
    /// The row of the first value equal to the least (greatest) one, as
    /// NumPy's argmin (argmax): -0.0 and +0.0 are equal; when a NaN
    /// propagates, the row of the first NaN; -1 when there is no value (and
    /// with the omit policy, when every value is NaN).
    ///@{
    std::int64_t argmin(std::size_t column = 0) const;
    std::int64_t argmax(std::size_t column = 0) const;
    ///@}

    /// \cond internal
    struct column_result {
        std::int64_t count = 0;
        std::int64_t nan_count = 0;
        number least;
        number greatest;
        std::int64_t least_at = -1;
        std::int64_t greatest_at = -1;
        std::int64_t first_nan_at = -1;
    };
    extremes_summary(std::vector<column_result> columns, std::int64_t rows, nan_policy policy)
        : columns_(std::move(columns)), rows_(rows), policy_(policy)
    {
    }
    /// \endcond

private:
    bool propagates_nan(std::size_t column) const;
    std::vector<column_result> columns_;
    std::int64_t rows_;
    nan_policy policy_;
};

/// The least and greatest value of one number type and the rows where they
/// first occur, per column, added in blocks on each rank and finished over a
/// communicator. Only comparisons: every result is one of the values, the
/// same bits for any split into blocks and ranks. With one column every
/// value added is one row (a run in its order, a table in C order); with k
/// columns a table of k columns adds its rows.
///
/// Memory: about 100 bytes per column, allocated by the constructor; adding
/// and finishing allocate nothing.
class extremes {
public:
    /// An empty accumulator for values of `type` in `columns` columns (at
    /// least 1). Allocates its state here; std::bad_alloc passes to the
    /// caller, which must then tell the other ranks (a spare accumulator
    /// marked with fail_allocation, or its own agreement) before they finish.
    explicit extremes(number_type type, std::int64_t columns = 1);
    ~extremes();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    extremes(extremes&&) noexcept;
    extremes& operator=(extremes&&) noexcept;
    ///@}

    /// The number type of the values it takes.
    number_type type() const { return type_; }
    /// The number of columns.
    std::int64_t columns() const { return columns_; }

    /// Adds a run of values as rows of the one column. No communication.
    /// Another number type, or a run given to an accumulator of several
    /// columns, throws error(invalid_argument) on this rank.
    void add(const values_view& values);
    /// Adds a table: with one column its values in C order (row by row),
    /// with k columns its rows (the table must have k columns). No
    /// communication; errors as for a run.
    void add(const table_view& values);

    /// The summary of every value added on every rank of comm. This is a
    /// collective operation and must be called by all processes in the
    /// communicator, with accumulators of the same type and columns: exactly
    /// one MPI_Allreduce (an operation over rank-ordered records; its
    /// datatype and operation are created and freed here). When some rank
    /// was marked as short of memory (fail_allocation, for a caller whose
    /// own preparation failed), every rank throws error(out_of_memory)
    /// naming the lowest such rank; accumulators of different types or
    /// columns throw error(ranks_disagree) on every rank (where their records
    /// have the same length). The accumulator is unchanged.
    extremes_summary finish(MPI_Comm comm, nan_policy policy = nan_policy::propagate) const;

    /// The summary of this rank's values alone (rows from 0). No communication.
    extremes_summary finish_local(nan_policy policy = nan_policy::propagate) const;

    /// Marks this rank as short of memory: the next finish throws
    /// error(out_of_memory) on every rank, naming it.
    void fail_allocation();

    /// Forgets every value added.
    void clear();

    /// \cond internal
    struct state;
    /// \endcond

private:
    number_type type_;
    std::int64_t columns_;
    std::unique_ptr<state> state_;
};

} // namespace virda::engine

#endif
