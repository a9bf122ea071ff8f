#include "quantile_arithmetic.h"

#include <algorithm>
#include <cmath>
#include <limits>

using virda::engine::number;

namespace virda_python {

namespace {

/// x rounded to the nearest float16 value (ties to even; beyond the largest,
/// infinity), as NumPy stores a float16 result.
double to_half(float x)
{
    if (!std::isfinite(x) || x == 0.0f) {
        return x;
    }
    int exponent = 0;
    (void)std::frexp(x, &exponent);
    // float16 has 10 fraction bits; below 2^-14 its values are subnormal.
    const double ulp = std::ldexp(1.0, std::max(exponent - 1, -14) - 10);
    const double rounded = std::nearbyint(static_cast<double>(x) / ulp) * ulp;
    if (std::fabs(rounded) > 65504.0) {
        return std::copysign(std::numeric_limits<double>::infinity(), rounded);
    }
    return rounded;
}

} // namespace

double median_of_middle(const number& a, const number& b, bool two, char dtype_char)
{
    if (!two) {
        return a.as_double();
    }
    if (dtype_char == 'f' || dtype_char == 'e') {
        // float32 (and float16 through a float32 total): the sum rounded to
        // float32, halved.
        const float sum = static_cast<float>(a.floating) + static_cast<float>(b.floating);
        return static_cast<double>(sum / 2.0f);
    }
    return (a.as_double() + b.as_double()) / 2.0;
}

double interpolate_half(const number& a, const number& b, double gamma)
{
    const double diff = to_half(static_cast<float>(b.floating) - static_cast<float>(a.floating));
    if (gamma >= 0.5) {
        return b.as_double() - diff * (1 - gamma);
    }
    return a.as_double() + diff * gamma;
}

} // namespace virda_python
