#include "statistic_values.h"

#include <cmath>
#include <limits>

namespace virda_stats {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

} // namespace

double moment_value(const statistic& st, const virda::engine::moment_summary& sum, std::size_t c, bool single)
{
    double v = nan;
    switch (st.kind) {
    case statistic_kind::mean:
        if (single) {
            return static_cast<double>(static_cast<float>(sum.precise_mean(c)));
        }
        v = sum.mean(c);
        if (!std::isfinite(v) && std::isfinite(sum.min(c)) && std::isfinite(sum.max(c))) {
            v = static_cast<double>(sum.precise_mean(c)); // the total overflows, the mean does not
        }
        break;
    case statistic_kind::std:
        v = sum.stdev(0, c);
        break;
    case statistic_kind::min:
        v = sum.exact_min(c).as_double();
        break;
    case statistic_kind::max:
        v = sum.exact_max(c).as_double();
        break;
    case statistic_kind::sum:
        v = sum.sum(c);
        break;
    case statistic_kind::count:
    case statistic_kind::quantile:
        break;
    }
    return single ? static_cast<double>(static_cast<float>(v)) : v;
}

double float_moment_value(const statistic& st, const cell_moment_result& r)
{
    switch (st.kind) {
    case statistic_kind::mean:
        return static_cast<double>(static_cast<float>(r.precise_mean));
    case statistic_kind::std:
        return static_cast<double>(static_cast<float>(r.stdev));
    case statistic_kind::min:
        return static_cast<double>(r.min);
    case statistic_kind::max:
        return static_cast<double>(r.max);
    case statistic_kind::sum:
        return static_cast<double>(static_cast<float>(r.sum));
    case statistic_kind::count:
    case statistic_kind::quantile:
        break;
    }
    return nan;
}

} // namespace virda_stats
