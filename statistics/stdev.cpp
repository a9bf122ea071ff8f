#include "statistics/stdev.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "statistics/mean.h"

#include <cmath>

namespace {

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

} // namespace

// Each total comes from the framework's sum, in this fixed order on every
// rank; every product is a new attribute released before returning. The
// residual total of the deviations is taken only when the mean's rounding can
// show in the result.

double stdev(Attribute& x)
{
    const double m = mean(x);
    const Attribute d = x + scalar_variant(-m);
    const double s2 = sum(d * d);
    const double n = x.size();
    // The same decision on every rank: m and s2 are the same everywhere.
    const double sd = mean_rounding_matters(m, s2 / n) ? static_cast<double>(sum(d)) : 0.0;
    return deviation_from_moments(s2, sd, n);
}

double stdev(Attribute& x, Attribute& w)
{
    // The weighted mean, taken as mean(x, w) takes it; its weight total
    // serves the second moment too.
    const double weight = sum(w);
    const double m = static_cast<double>(sum(x * w)) / weight;
    const Attribute d = x + scalar_variant(-m);
    const double s2 = sum((d * d) * w);
    const double sd = mean_rounding_matters(m, s2 / weight) ? static_cast<double>(sum(d * w)) : 0.0;
    return deviation_from_moments(s2, sd, weight);
}
