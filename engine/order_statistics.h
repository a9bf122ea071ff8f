#ifndef VIRDA_ENGINE_ORDER_STATISTICS_H
#define VIRDA_ENGINE_ORDER_STATISTICS_H

/// \file
/// Exact order statistics, quantiles and medians of values held by every
/// rank, by radix selection: no value moves between ranks.

#include "engine/call_agreement.h"
#include "engine/moments.h"
#include "engine/number.h"
#include "engine/quantile_method.h"
#include "engine/views.h"

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace virda::engine {

/// How many values each column holds over all ranks, NaN apart, and how
/// many this rank holds: what a selection needs before it starts.
struct value_counts {
    std::vector<std::int64_t> values; ///< per column, over all ranks: values that are not NaN
    std::vector<std::int64_t> nans;   ///< per column, over all ranks: NaN values
    std::int64_t local = 0;           ///< values of all columns on this rank, NaN included

    /// The counts a moment summary found (its count and NaN count per
    /// column), with this rank's number of values.
    static value_counts from(const moment_summary& s, std::int64_t local_values);
};

/// A search for order statistics (the values of given ranks among the sorted
/// values of each column) over values that are passed to it round by round:
/// for data that is read again for every pass, such as a file read slab by
/// slab. Keys of the values still in question are copied out once they fit
/// in the memory budget, after which the rounds need no more passes.
///
/// Use: while (!finished()) { if (wants_values()) add every value again;
/// end_round(comm); } then result(). Every rank takes part in every round.
class selection_search {
public:
    /// A search in values of `type` whose counts are `counts` (the same on
    /// every rank: from count() or a moment summary), for the ranks
    /// `ranks[c]` of column c (0-based among its values that are not NaN,
    /// each below its count; any order, repeats allowed). `memory_budget` is
    /// the most bytes this rank may use for copied keys, the room reserved
    /// past them included (32 KiB per column copied). Throws
    /// error(invalid_argument) alike on every rank for a rank beyond a
    /// count; memory refused here is told in the first round (end_round).
    /// No communication.
    selection_search(number_type type, const value_counts& counts,
                     const std::vector<std::vector<std::uint64_t>>& ranks,
                     std::size_t memory_budget = std::size_t{1} << 28);
    ~selection_search();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    selection_search(selection_search&&) noexcept;
    selection_search& operator=(selection_search&&) noexcept;
    ///@}

    /// Whether every rank has its result.
    bool finished() const;
    /// Whether this round reads the values: every rank then adds every one
    /// of its values again (in any blocks and order) before end_round. The
    /// same on every rank.
    bool wants_values() const;
    /// Adds a run of values to column 0 (one column) or a table (column j
    /// of the table to column j; with one column, every value). Counts them
    /// for this round. No communication.
    ///@{
    void add(const values_view& values);
    void add(const table_view& values);
    ///@}
    /// Ends the round: one sum of the round's counts over comm (MPI_Allreduce,
    /// or for 2^15 counts and more a reduce-scatter by MPI_Sendrecv and an
    /// MPI_Allgatherv). Memory refused on any rank since the last round (in
    /// the constructor, add or end_round) is learnt in that sum: the rank
    /// takes part from fixed room, and every rank throws
    /// error(out_of_memory) alike; the search is then over.
    /// This is a collective operation and must be called by all processes
    /// in the communicator.
    void end_round(MPI_Comm comm);
    /// The values of the requested ranks, per column in the order asked.
    std::vector<std::vector<number>> result() const;
    /// Rounds made so far, and of them those that read the values.
    ///@{
    int rounds() const;
    int passes() const;
    ///@}

private:
    struct state;
    number_type type_;
    std::size_t columns_ = 0;
    // Without a state, the size of the first round's sum when the memory for
    // the state was refused on this rank (it takes part in that sum from
    // fixed room, then every rank throws), or 0 when nothing was asked of
    // any column (no round on any rank).
    std::size_t refused_sum_ = 0;
    std::unique_ptr<state> state_;
};

/// Exact order statistics and quantiles of values of one number type held in
/// memory on every rank, in any number of blocks per rank. Blocks are read
/// in place: they must stay alive and unchanged until the statistics are
/// taken.
///
/// Cost: count() is one small MPI_Allreduce; a selection is one sum of
/// counts over the ranks per digit of the keys (eight of 8 bits up to 2^16
/// values, else one of 16 and four of 12; eight of 8 bits for more than 64
/// columns; float32 keys hold 35 bits that differ: five digits, or three of
/// 16, 12 and 7), whatever the data, with the counts of every column and
/// every order statistic in the same sum. A sum is one MPI_Allreduce; at
/// several ranks, a sum of 2^15 counts or more (a 16-bit digit, or many
/// columns or targets) is one MPI_Allreduce of an int that agrees the room
/// for an exchange, then MPI_Sendrecv with each other rank and one
/// MPI_Allgatherv (or, when a rank was refused that room, MPI_Allreduce in
/// pieces of 2^15 counts). The result cannot depend on how the values are
/// split between blocks or ranks.
class order_statistics {
public:
    /// Statistics of values of `type` in `columns` columns (at least 1). No
    /// communication.
    explicit order_statistics(number_type type, std::int64_t columns = 1);
    ~order_statistics();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    order_statistics(order_statistics&&) noexcept;
    order_statistics& operator=(order_statistics&&) noexcept;
    ///@}

    /// The number type of the values it takes.
    number_type type() const { return type_; }
    /// The number of columns.
    std::int64_t columns() const { return columns_; }

    /// Registers a run (one column) or a table (column j to column j; with
    /// one column every value). No communication; errors as for moments.
    ///@{
    void add(const values_view& values);
    void add(const table_view& values);
    ///@}

    /// The counts per column over every rank of comm: one MPI_Allreduce.
    /// This is a collective operation and must be called by all processes in
    /// the communicator, with statistics of the same type and columns
    /// (otherwise every rank throws error(ranks_disagree)). With
    /// `expected_total` >= 0, every rank also says how many values (NaN
    /// included, all columns) it expects the ranks to hold between them: a
    /// rank expecting another number than the others, or a total that is
    /// not the one expected (the ranks do not hold one array between them),
    /// throws error(ranks_disagree) on every rank. With `caller`, the
    /// caller's agreement travels in the same MPI_Allreduce (no collective
    /// more): when it is not settled() afterwards (a rank failed, or the
    /// fingerprints differ), the counts are empty and nothing of the ranks'
    /// own statistics is checked; the caller raises from `caller` alike on
    /// every rank. A rank that failed calls this with an accumulator of the
    /// others' columns (any type) and no values.
    value_counts count(MPI_Comm comm, std::int64_t expected_total = -1, call_agreement* caller = nullptr) const;

    /// The values of ranks `ranks[c]` in column c (as selection_search),
    /// from counts that count() gave. Collective: one sum of counts per digit
    /// (see the class).
    std::vector<std::vector<number>> select(const value_counts& counts,
                                            const std::vector<std::vector<std::uint64_t>>& ranks,
                                            MPI_Comm comm) const;

    /// The quantiles of probabilities q (each in [0, 1]) of every column,
    /// result[c][i] for column c and q[i], by NumPy's method `method`; with
    /// nan_policy::propagate a column holding a NaN gives NaN, with omit NaN
    /// values are left out; a column with no values gives NaN. A probability
    /// outside [0, 1] or NaN throws error(invalid_argument) before any
    /// communication. Collective: count() then select().
    std::vector<std::vector<double>> quantiles(const std::vector<double>& q, MPI_Comm comm,
                                               quantile_method method = quantile_method::linear,
                                               nan_policy policy = nan_policy::propagate) const;

private:
    number_type type_;
    std::int64_t columns_;
    std::vector<table_view> blocks_;
};

} // namespace virda::engine

#endif
