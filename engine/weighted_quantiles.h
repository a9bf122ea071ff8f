#ifndef VIRDA_ENGINE_WEIGHTED_QUANTILES_H
#define VIRDA_ENGINE_WEIGHTED_QUANTILES_H

/// \file
/// Exact weighted quantiles by the inverted distribution function: for a
/// probability q, the smallest value whose cumulative weight reaches q times
/// the total weight, found by radix selection over every rank's values.

#include "engine/moments.h"
#include "engine/number.h"
#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <vector>

namespace virda::engine {

/// One weighted quantile: a value of the data, or none (NaN).
struct weighted_quantile {
    number value;    ///< the value of the data, unless nan
    bool nan = true; ///< no value: NaN propagated, or no values
};

/// Weighted quantiles of values of one number type, each with a weight of
/// any number type, in `columns` columns, held in memory on every rank in
/// any number of blocks (read in place: they must stay alive and unchanged
/// until the quantiles are taken).
///
/// The quantile of probability q of a column is the smallest value v whose
/// cumulative weight (the total weight of the values <= v) reaches q times
/// the column's total weight, both compared exactly: weights are totalled as
/// fixed-point integers in units of the smallest weight's last bit, so
/// integer weights give exactly the quantile of the values repeated as many
/// times (NumPy's inverted_cdf method), and a probability of 0 gives the
/// smallest value. Values of weight 0 count only for q = 0. -0.0 is taken as
/// +0.0. NaN values: nan_policy::propagate makes the column's quantiles NaN,
/// omit leaves them out with their weights; a column of no values gives NaN.
/// A column whose values have no weight in total gives its smallest value
/// for every probability (as a cumulative distribution of 0 / 0 searched
/// from below does).
///
/// Cost: one MPI_Allreduce for the counts, weight ranges and checks, one
/// small one agreeing that every rank could allocate the rounds' counts, then
/// one per 8-bit digit of the 64-bit keys (8), each of 256 counts and 256
/// weight totals per column and distinct prefix sought. Every pass reads
/// every value. The result cannot depend on how the values are split between
/// blocks or ranks.
class weighted_quantiles {
public:
    /// Quantiles of values of `type` with weights of `weight_type`, in
    /// `columns` columns (at least 1). No communication.
    weighted_quantiles(number_type type, number_type weight_type, std::int64_t columns = 1);
    ~weighted_quantiles();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    weighted_quantiles(weighted_quantiles&&) noexcept;
    weighted_quantiles& operator=(weighted_quantiles&&) noexcept;
    ///@}

    /// Registers a run of values with the run of their weights (one column;
    /// the same count) or a table with its table of weights (the same rows
    /// and columns; column j to column j, or with one column every value).
    /// No communication; invalid_argument for other types or shapes.
    ///@{
    void add(const values_view& values, const values_view& weights);
    void add(const table_view& values, const table_view& weights);
    ///@}

    /// The quantiles of probabilities q (each in [0, 1]) of every column,
    /// result[c][i] for column c and q[i]. Collective over comm (every rank
    /// with quantiles of the same types and columns and the same q; other
    /// types or columns throw ranks_disagree on every rank). A probability
    /// outside [0, 1] throws invalid_argument before any communication; a
    /// negative weight anywhere throws invalid_argument ("Weights must be
    /// non-negative.") and a NaN or infinite one invalid_argument ("Weights
    /// must be finite."), on every rank after the first reduction; memory a
    /// rank cannot get throws out_of_memory on every rank, naming it.
    std::vector<std::vector<weighted_quantile>> select(const std::vector<double>& q, MPI_Comm comm,
                                                       nan_policy policy = nan_policy::propagate) const;

    /// The same quantiles as doubles (NaN where there is none).
    std::vector<std::vector<double>> quantiles(const std::vector<double>& q, MPI_Comm comm,
                                               nan_policy policy = nan_policy::propagate) const;

private:
    /// \cond internal
    struct pair_of_tables {
        table_view values;
        table_view weights;
    };
    /// \endcond
    number_type type_;
    number_type weight_type_;
    std::int64_t columns_;
    std::vector<pair_of_tables> blocks_;
};

} // namespace virda::engine

#endif
