#include "statistics/stdev.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "statistics/mean.h"
#include "statistics/temporaries.h"

#include <cmath>
#include <limits>

namespace {

using virda_detail::made_from;
using virda_detail::weighted_total;

/// Whether the rounding of the mean m can matter for a second moment var0
/// about it. The deviations about m carry its rounding error e (at most a
/// couple of units in the last place of m, as m is the exact total divided by
/// the count), which adds e^2 to the second moment. Only when e^2 is not lost
/// in the rounding of var0 is the residual total of the deviations needed;
/// that is the nearly constant case, e.g. a constant attribute, where the
/// correction makes the result exactly 0.
bool mean_rounding_matters(double m, double var0)
{
    const double a = std::fabs(m);
    const double bound = 2.0 * (std::nextafter(a, HUGE_VAL) - a);
    return !(bound * bound <= var0 * 0x1p-54);
}

/// sqrt((S2 - SD * SD / W) / W): the second moment of the deviations about
/// the computed mean, less what the rounding of that mean adds to it (SD is
/// the exact total of the deviations, rounded once). For a constant
/// attribute every deviation is the same small multiple of a power of two,
/// both terms are exact and equal, and the result is exactly 0. Rounding can
/// leave a tiny negative variance; it is taken as 0.
double deviation_from_moments(double s2, double sd, double w)
{
    double variance = (s2 - sd * (sd / w)) / w;
    if (variance < 0.0) {
        variance = 0.0;
    }
    return std::sqrt(variance);
}

/// NaN: the result of a deviation whose temporaries could not be made.
constexpr double not_made = std::numeric_limits<double>::quiet_NaN();

/// sum(d * d * w) (w null: sum(d * d)), or NaN when a product could not be
/// made. The products are released before returning.
double second_moment(const Attribute& d, const Attribute* w)
{
    const Attribute squares = d * d;
    if (!made_from(squares, d)) {
        return not_made;
    }
    if (w == nullptr) {
        return sum(squares);
    }
    const Attribute weighted = squares * *w;
    return made_from(weighted, squares) ? static_cast<double>(sum(weighted)) : not_made;
}

} // namespace

// Each total comes from the framework's sum, in this fixed order on every
// rank; every product is a new attribute released before returning. The
// residual total of the deviations is taken only when the mean's rounding can
// show in the result. A temporary that could not be made (an array creation
// that failed, alike on every rank) gives NaN at once: the decision rests on
// global element counts, so every rank returns it and skips the same calls.

double stdev(Attribute& x)
{
    const double m = mean(x);
    const Attribute d = x + scalar_variant(-m);
    if (!made_from(d, x)) {
        return not_made;
    }
    const double s2 = second_moment(d, nullptr);
    if (std::isnan(s2)) {
        return s2; // also NaN data: the result would be NaN all the same
    }
    const double n = x.size();
    // The same decision on every rank: m and s2 are the same everywhere.
    const double sd = mean_rounding_matters(m, s2 / n) ? static_cast<double>(sum(d)) : 0.0;
    return deviation_from_moments(s2, sd, n);
}

double stdev(Attribute& x, Attribute& w)
{
    // The weighted mean, taken as mean(x, w) takes it (products of int and
    // float data in double); its weight total serves the second moment too.
    const double weight = sum(w);
    const double m = weighted_total(x, w) / weight;
    if (std::isnan(m)) {
        return m;
    }
    const Attribute d = x + scalar_variant(-m);
    if (!made_from(d, x)) {
        return not_made;
    }
    const double s2 = second_moment(d, &w);
    if (std::isnan(s2)) {
        return s2;
    }
    double sd = 0.0;
    if (mean_rounding_matters(m, s2 / weight)) {
        const Attribute weighted = d * w;
        if (!made_from(weighted, d)) {
            return not_made;
        }
        sd = sum(weighted);
    }
    return deviation_from_moments(s2, sd, weight);
}
