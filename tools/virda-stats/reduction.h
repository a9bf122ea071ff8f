#ifndef VIRDA_TOOLS_VIRDA_STATS_REDUCTION_H
#define VIRDA_TOOLS_VIRDA_STATS_REDUCTION_H

// Statistics of a grid along some of its dimensions, per cell of the
// others: a (time, lat, lon) field reduced over time is a (lat, lon) map of
// each statistic.

#include "dataset_shape.h"
#include "h5_reader.h"

#include "engine/quantile_method.h"

#include <mpi.h>

#include <cstddef>
#include <string>
#include <vector>

namespace virda_stats {

enum class statistic_kind { mean, std, min, max, sum, count, quantile };

/// A statistic reduce computes per cell.
struct statistic {
    statistic_kind kind = statistic_kind::mean;
    /// The probability of a quantile (0.5 for the median).
    double probability = 0.5;
    /// As the command line names it: "mean", "median", "q0.9".
    std::string name;
};

/// The statistics of --stat names (checked by the parser). Local.
std::vector<statistic> statistics_named(const std::vector<std::string>& names);

/// The cell_methods word of the CF conventions for a statistic: "mean",
/// "standard_deviation", "minimum", ...; a quantile other than the median has
/// none and is described in parentheses.
std::string cell_method_of(const statistic& s);

/// What reduce computed, on every rank.
struct reduced_field {
    /// The extents of the dimensions kept, in the input's order.
    std::vector<long long> shape;
    /// The statistics (all but count) are float32: the values read are float32
    /// and neither packed nor integers.
    bool single_precision = false;
    /// Per statistic, per cell (row-major over `shape`): the value, rounded to
    /// float32 when single_precision. Meaningless where counts is 0.
    std::vector<std::vector<double>> values;
    /// Values each cell took: not missing, NaN included unless skipped.
    std::vector<long long> counts;
    /// Whether values and counts hold only this rank's cells: those of rows
    /// [own_first, own_first + own_count) of dimension `split` (an index into
    /// shape) when the row dimension is kept; otherwise every cell.
    bool local = false;
    int split = 0;
    long long own_first = 0;
    long long own_count = 0;
    /// How often each rank read its rows of the input.
    int passes = 0;
    /// How many groups of cells were reduced one after the other (more than
    /// one when the accumulators of all cells exceed the memory budget).
    int cell_groups = 0;
};

/// Reduces grid `s` of `in` along the dimensions `reduced` (increasing
/// indices; at least one dimension kept). Over the row dimension each rank
/// reads its rows slab by slab within `memory_budget` into per-cell
/// accumulators (several passes when those of all cells exceed half the
/// budget), and the order statistics of quantiles are found exactly by
/// selection, reading the slabs again round by round. With the row
/// dimension kept, each rank reduces its own rows in one pass. The missing and packed
/// values' rules of `s` apply as summary applies them; a NaN that a cell
/// takes makes its statistics NaN (all but count). Sums are exact: the
/// same bits at any rank count and slab size. Collective over `comm`: every
/// rank throws the same tool_error on a failure.
reduced_field reduce_grid(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                          const std::vector<statistic>& stats, virda::engine::quantile_method method,
                          std::size_t memory_budget, MPI_Comm comm);

} // namespace virda_stats

#endif
