#ifndef VIRDA_ENGINE_QUANTILE_METHOD_H
#define VIRDA_ENGINE_QUANTILE_METHOD_H

/// \file
/// Where a quantile lies among sorted values, by each of NumPy's methods,
/// and how the value there is interpolated.

#include "engine/number.h"

#include <cstdint>
#include <string>

namespace virda::engine {

/// NumPy's quantile methods (numpy.quantile's `method`), with their names.
enum class quantile_method {
    inverted_cdf,
    averaged_inverted_cdf,
    closest_observation,
    interpolated_inverted_cdf,
    hazen,
    weibull,
    linear, ///< NumPy's default
    median_unbiased,
    normal_unbiased,
    lower,
    higher,
    midpoint,
    nearest,
};

/// The method's name as NumPy spells it.
const char* name_of(quantile_method m);
/// The method of a name; false when no method has it.
bool quantile_method_named(const std::string& name, quantile_method* out);

/// The two order statistics (0-based ranks among n sorted values) a
/// quantile is made of, and the weight of the second. `exact` when the
/// method picks one value (the result is that value, in its own type).
struct quantile_position {
    std::uint64_t below = 0; ///< the rank of the lower order statistic
    std::uint64_t above = 0; ///< the rank of the upper one
    double gamma = 0;        ///< the weight of the upper one, in [0, 1]
    bool exact = false;      ///< one value is the result (below == above)
};

/// Where the quantile of probability q (in [0, 1]) of n > 0 values lies,
/// computed as NumPy 1.24 computes it in double precision (the same index
/// and weight, so the same value).
quantile_position position_of(double q, std::uint64_t n, quantile_method m);

/// The value between the order statistics a <= b at weight gamma, as NumPy
/// interpolates: a + (b - a) gamma, or b - (b - a)(1 - gamma) for gamma >=
/// 0.5. A float32 difference is rounded
/// to float32 first and a 64-bit integer difference is taken exactly, as
/// NumPy's arithmetic in the data's own type does (without its overflow).
double interpolate(const number& a, const number& b, double gamma);

} // namespace virda::engine

#endif
