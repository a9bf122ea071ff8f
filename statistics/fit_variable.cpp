#include "statistics/fit_variable.h"

#include <cmath>

namespace virda_detail {

fit_variable fit_variable_for(double lo, double hi)
{
    fit_variable v;
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        return v;
    }
    v.centre = lo / 2 + hi / 2;
    v.scale = hi / 2 - lo / 2;
    if (!(v.scale > 0.0) || !std::isfinite(v.scale)) {
        v.scale = 1.0;
    }
    return v;
}

std::vector<double> coefficients_in_x(const std::vector<double>& scaled, const fit_variable& v)
{
    // t = slope x + shift.
    const long double slope = 1.0L / v.scale;
    const long double shift = -static_cast<long double>(v.centre) / v.scale;
    std::vector<long double> p; // ascending powers of x
    for (std::size_t k = scaled.size(); k-- > 0;) {
        // p = p * t + a_k
        std::vector<long double> next(p.size() + 1, 0.0L);
        for (std::size_t j = 0; j < p.size(); ++j) {
            next[j] += p[j] * shift;
            next[j + 1] += p[j] * slope;
        }
        next[0] += scaled[k];
        p.swap(next);
    }
    std::vector<double> out(scaled.size(), 0.0);
    for (std::size_t j = 0; j < out.size() && j < p.size(); ++j) {
        out[j] = static_cast<double>(p[j]);
    }
    return out;
}

double power_basis_growth(const std::vector<double>& in_x, const std::vector<double>& scaled, double reach)
{
    long double size = 0.0L;
    for (const double a : scaled) {
        size += std::fabs(static_cast<long double>(a));
    }
    if (size == 0.0L) {
        return 1.0;
    }
    long double spread = 0.0L;
    long double power = 1.0L;
    for (const double c : in_x) {
        if (c != 0.0) { // 0 * an overflowed power is no growth
            spread += std::fabs(static_cast<long double>(c)) * power;
        }
        power *= reach;
    }
    return static_cast<double>(spread / size);
}

} // namespace virda_detail
