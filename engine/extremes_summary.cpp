// The statistics of a finished extremes accumulator: least and greatest
// values and their first places per column, with the NaN policy applied.

#include "engine/extremes.h"

#include <limits>

namespace virda::engine {

bool extremes_summary::propagates_nan(std::size_t column) const
{
    return policy_ == nan_policy::propagate && columns_.at(column).nan_count > 0;
}

bool extremes_summary::is_nan(std::size_t column) const
{
    return propagates_nan(column) || columns_.at(column).count == 0;
}

namespace {
number nan_number()
{
    number n;
    n.floating = std::numeric_limits<double>::quiet_NaN();
    return n;
}
} // namespace

number extremes_summary::min(std::size_t column) const
{
    return is_nan(column) ? nan_number() : columns_.at(column).least;
}

number extremes_summary::max(std::size_t column) const
{
    return is_nan(column) ? nan_number() : columns_.at(column).greatest;
}

std::int64_t extremes_summary::argmin(std::size_t column) const
{
    return propagates_nan(column) ? columns_.at(column).first_nan_at : columns_.at(column).least_at;
}

std::int64_t extremes_summary::argmax(std::size_t column) const
{
    return propagates_nan(column) ? columns_.at(column).first_nan_at : columns_.at(column).greatest_at;
}

} // namespace virda::engine
