#ifndef VIRDA_TOOLS_VIRDA_STATS_SLAB_STATISTICS_H
#define VIRDA_TOOLS_VIRDA_STATS_SLAB_STATISTICS_H

// Statistics of a dataset of any size, read slab by slab: each rank reads
// its share of the rows (balanced, along the row axis) in hyperslabs of as
// many rows as its memory budget allows, into the engine's accumulators.

#include "dataset_shape.h"
#include "h5_reader.h"

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace virda_stats {

/// What one column of a dataset (its one array, a chosen column, a grid's
/// values, or one column of a whole table) gave, over all ranks.
struct slab_column {
    /// Values the statistics take (NaN included unless skipped).
    long long count = 0;
    /// NaN values among those not missing, once unpacked (taken or skipped).
    long long nan = 0;
    /// Values missing by the conventions' attributes.
    long long missing = 0;
    /// Extremes of the values taken that are not NaN; NaN when there are none.
    double min = 0;
    double max = 0;
    /// Mean and population standard deviation (NaN when a NaN is taken or
    /// no value is; stdev NaN unless asked for).
    double mean = 0;
    double stdev = 0;
    /// The quantiles asked for, NumPy's linear method between the exact
    /// order statistics; NaN when a NaN is taken or no value is.
    std::vector<double> quantiles;
};

/// What to compute besides counts, extremes and means.
struct slab_request {
    bool stdev = false;
    std::vector<double> probabilities;
    /// An equal-width histogram when bins > 0.
    double lower = 0;
    double width = 1;
    std::int64_t bins = 0;
};

struct slab_result {
    std::vector<slab_column> columns;
    /// Histogram counts over all ranks, on every rank.
    std::vector<std::int64_t> histogram;
    /// Wide integers of magnitude 2^53 or more (rounded when held as double).
    long long beyond_exact = 0;
    /// Times the rank's slabs were read (1 without quantiles).
    int passes = 0;
};

/// The statistics of dataset `s` of `in` (rows > 0) under its rules for
/// missing, packed and NaN values, reading each rank's rows slab by slab:
/// one pass for counts, extremes, moments and the histogram, then the
/// rounds of the order-statistics search, which read the slabs again until
/// the values still in question fit the budget. A rank uses at most about
/// `memory_budget` bytes for slabs and copied keys (a slab holds at least one
/// row). Collective over `comm`: every rank reads the same number of slabs
/// and makes the same reductions; a failed read or allocation on any rank
/// throws the same tool_error on every rank.
slab_result slab_statistics(const h5_input& in, const dataset_shape& s, const slab_request& request,
                            std::size_t memory_budget, MPI_Comm comm);

/// Rows of a slab of rows of `row_bytes` each within `memory_budget`: a
/// quarter of the budget for the slab (and its converted copy), the rest for
/// the keys of a selection; at least 1. Local.
long long slab_rows_for(std::size_t memory_budget, std::size_t row_bytes);

} // namespace virda_stats

#endif
