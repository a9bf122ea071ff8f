#ifndef VIRDA_ENGINE_BINNED_STATISTICS_H
#define VIRDA_ENGINE_BINNED_STATISTICS_H

/// \file
/// Statistics of values per bin, for points held by every rank whose bins
/// are already known: counts, exact sums, means, standard deviations,
/// extremes, medians and any quantiles per bin and value column.

#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <vector>

namespace virda::engine {

/// Which statistics a finish computes (the count always).
struct binned_statistics_wanted {
    bool sum = false;              ///< exact total per bin
    bool mean = false;             ///< exact total rounded, divided by the count
    bool std = false;              ///< population standard deviation
    bool min = false;              ///< least value that is not NaN
    bool max = false;              ///< greatest value that is not NaN
    bool median = false;           ///< the mean of the two middle values
    std::vector<double> quantiles; ///< probabilities in [0, 1], NumPy's linear method
};

/// What a finish gives every rank. Per-bin, per-column statistics are held
/// column after column: the value of bin b and column c at c * bins + b.
/// A statistic that was not asked for is empty.
struct binned_statistics_result {
    std::int64_t bins = 0;               ///< number of bins
    std::int64_t columns = 0;            ///< number of value columns
    std::vector<std::int64_t> counts;    ///< points per bin (NaN values included)
    std::vector<std::int64_t> nan_counts; ///< NaN values per bin and column (with min or max)
    std::vector<double> sum;             ///< 0 for an empty bin
    std::vector<double> mean;            ///< NaN for an empty bin
    std::vector<double> std;             ///< NaN for an empty bin, 0 for a bin of one point
    std::vector<double> min;             ///< NaN for an empty bin or one of NaN only
    std::vector<double> max;             ///< NaN for an empty bin or one of NaN only
    std::vector<double> median;          ///< NaN for an empty bin
    std::vector<std::vector<double>> quantiles; ///< per probability asked; NaN for an empty bin
};

/// Statistics per bin of one or several value columns, for points whose
/// bins are given: point i of a block is in bin bin_numbers[i] (0 to
/// bins - 1; a negative bin number leaves the point out) with the values of
/// row i of the block's table, one per column. Blocks are read in place at
/// finish(): they must stay alive and unchanged until then.
///
/// Every value is taken as the double it converts to. The results, per bin
/// and column, over every point of every rank:
///   - sum: the exact total, rounded once (a NaN, or +inf with -inf, gives
///     NaN; see exact_sum); mean: that sum divided by the count;
///   - std: the square root of the exact total of (v - mean)^2, each square
///     formed in double, rounded once and divided by the count (ddof 0);
///   - min, max: of the values that are not NaN;
///   - median and quantiles: order statistics of the bin's values sorted
///     with NaN after every number (so a middle value that is NaN gives
///     NaN), -0.0 before +0.0; the median is (a + b) / 2 of the two middle
///     values, a quantile NumPy's linear interpolation between two (the value
///     itself where the position falls on one).
/// Each depends only on the bin's values, never on their order or on how
/// the points are split between blocks and ranks: the same bits on any
/// number of ranks.
///
/// How: counts per bin are added over the ranks. When only sums, means and
/// standard deviations are wanted and the bins are few beside the points
/// (at least 76 / 8 points per bin and at most 256 MiB of totals), each
/// rank adds its values into an exact total per bin and column (76 int64)
/// and the totals are summed over the ranks, one MPI_Allreduce for the
/// totals and one more for the squared deviations. Otherwise, when a
/// statistic of the values is wanted, the bins are shared out in contiguous ranges of about
/// equal numbers of points, each rank sends every other the rows (bin and
/// values as doubles) of the bins it owns, each owner computes the
/// statistics of its bins from their values grouped by bin, and every rank
/// gathers every owner's results. Memory: bins * 8 bytes on every rank for
/// the counts (bins * (fields + 1) * columns * 8 for the results); an owner
/// holds (columns + 1) * 8 * 2 bytes per point it receives: about N / ranks
/// points plus at most the largest bin. Limit: at most 2^31 - 1 points
/// received by one rank, else every rank throws error(invalid_argument).
class binned_statistics {
public:
    /// Statistics over `bins` bins (0 to 2^31 - 1) of `columns` value
    /// columns (0 for counts only). The per-bin counts are allocated here; a
    /// rank that cannot is told at finish(), with every other rank.
    /// Throws error(invalid_argument) for bins or columns out of range. No
    /// communication.
    binned_statistics(std::int64_t bins, std::int64_t columns);

    /// The number of bins.
    std::int64_t bins() const { return bins_; }
    /// The number of value columns.
    std::int64_t columns() const { return columns_; }

    /// Adds a block of points: bin_numbers of type int64 (one per point), and
    /// a table of values with as many rows and `columns` columns (any number
    /// type; ignored with 0 columns). No communication. A table of another
    /// shape or bin numbers of another type throw error(invalid_argument) on
    /// this rank; a bin number at or above bins() marks this rank, and
    /// finish() throws error(invalid_argument) on every rank.
    void add(const values_view& bin_numbers, const table_view& values);
    /// Adds a block of points without values (counts only).
    void add(const values_view& bin_numbers);

    /// This rank's points per bin so far.
    const std::vector<std::int64_t>& local_counts() const { return counts_; }

    /// The statistics of every point of every rank of comm, on every rank.
    /// This is a collective operation and must be called by all processes in
    /// the communicator, with the same bins, columns and statistics wanted.
    /// One reduction that agrees (every rank allocated its counts and holds
    /// valid bin numbers, and the calls match; else every rank throws
    /// error(out_of_memory), error(invalid_argument) or
    /// error(ranks_disagree)), one of the counts; when values are read, one
    /// agreement after the owners allocate, one MPI_Alltoall and point to
    /// point messages for the rows, one MPI_Allgatherv of the results.
    binned_statistics_result finish(MPI_Comm comm, const binned_statistics_wanted& wanted) const;

private:
    /// \cond internal
    struct block {
        values_view bin_numbers;
        table_view values;
    };
    /// \endcond
    /// The finish of sums, means and standard deviations from exact totals
    /// per bin, reduced over the ranks. Collective.
    void finish_by_totals(binned_statistics_result& r, const binned_statistics_wanted& wanted, MPI_Comm comm,
                          std::uint64_t fingerprint) const;
    std::int64_t bins_;
    std::int64_t columns_;
    bool failed_ = false;
    bool bad_bin_ = false;
    std::vector<std::int64_t> counts_;
    std::vector<block> blocks_;
};

} // namespace virda::engine

#endif
