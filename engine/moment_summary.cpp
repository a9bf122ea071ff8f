// The statistics of a finished moments accumulator: sums, means, variances
// and extremes per column, with the NaN policy applied.

#include "engine/moments.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace virda::engine {

bool moment_summary::propagates_nan(std::size_t column) const
{
    return policy_ == nan_policy::propagate && columns_.at(column).nan_count > 0;
}

double moment_summary::sum(std::size_t column) const
{
    return propagates_nan(column) ? std::numeric_limits<double>::quiet_NaN() : columns_.at(column).sum;
}

double moment_summary::mean(std::size_t column) const
{
    return sum(column) / static_cast<double>(columns_.at(column).count);
}

long double moment_summary::precise_mean(std::size_t column) const
{
    const column_result& r = columns_.at(column);
    if (propagates_nan(column) || r.count == 0 || r.infinite) {
        return static_cast<long double>(mean(column));
    }
    return r.precise_mean;
}

namespace {

/// spread / (n (n - ddof)) in long double: the variance, which may lie
/// beyond the doubles when the values are near their largest (NaN when it
/// is not defined).
long double wide_variance(const moment_summary::column_result& r, bool nan_propagates, double ddof)
{
    if (nan_propagates || r.count == 0 || r.infinite || !r.spread_known || std::isnan(ddof)) {
        return std::numeric_limits<long double>::quiet_NaN();
    }
    const long double n = static_cast<long double>(r.count);
    const long double dof = std::max(n - static_cast<long double>(ddof), 0.0L);
    return r.spread / (n * dof);
}

} // namespace

double moment_summary::variance(double ddof, std::size_t column) const
{
    return static_cast<double>(wide_variance(columns_.at(column), propagates_nan(column), ddof));
}

double moment_summary::stdev(double ddof, std::size_t column) const
{
    // The root of the long double variance, rounded once: a variance beyond
    // the doubles (values of both signs near the largest double) still has
    // a standard deviation that is one.
    return static_cast<double>(std::sqrt(wide_variance(columns_.at(column), propagates_nan(column), ddof)));
}

double moment_summary::min(std::size_t column) const
{
    const column_result& r = columns_.at(column);
    return propagates_nan(column) || r.count == 0 ? std::numeric_limits<double>::quiet_NaN() : r.least.as_double();
}

double moment_summary::max(std::size_t column) const
{
    const column_result& r = columns_.at(column);
    return propagates_nan(column) || r.count == 0 ? std::numeric_limits<double>::quiet_NaN()
                                                  : r.greatest.as_double();
}

} // namespace virda::engine
