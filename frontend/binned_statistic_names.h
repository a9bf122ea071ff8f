// The per-bin statistics by the names users give them (SciPy's spelling, the
// Python module's `statistic=` and virda-stats' --statistic): which engine
// results a name asks for and where they are in the result.
#pragma once

#include "engine/binned_statistics.h"

#include <string>
#include <vector>

namespace virda::frontend {

/// The names, in the order messages list them: count, sum, mean, std,
/// median, min, max.
const std::vector<std::string>& binned_statistic_names();

/// Whether `name` is one of binned_statistic_names().
bool is_binned_statistic(const std::string& name);

/// What a finish must compute for `name` (count: nothing beyond the counts).
engine::binned_statistics_wanted wanted_for(const std::string& name);

/// The values of statistic `name` in `r`, as the result holds them (bin
/// after bin, column after column). Not for "count", whose values are the
/// integers of `r.counts`.
const std::vector<double>& values_named(const engine::binned_statistics_result& r, const std::string& name);

} // namespace virda::frontend
