#ifndef VIRDA_TOOLS_VIRDA_STATS_STATISTIC_VALUES_H
#define VIRDA_TOOLS_VIRDA_STATS_STATISTIC_VALUES_H

// The value reduce gives a statistic from a cell's moments.

#include "cell_moments.h"
#include "reduction.h"

#include "engine/moments.h"

#include <cstddef>

namespace virda_stats {

/// The value of a statistic from a cell's summary, in double (rounded to
/// float32 for single-precision results).
double moment_value(const statistic& st, const virda::engine::moment_summary& sum, std::size_t c, bool single);

/// The value of a statistic from a cell's compact float32 moments, as
/// moment_value gives it from the general summary (rounded to float32).
double float_moment_value(const statistic& st, const cell_moment_result& r);

} // namespace virda_stats

#endif // VIRDA_TOOLS_VIRDA_STATS_STATISTIC_VALUES_H
