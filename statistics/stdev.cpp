#include "statistics/stdev.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "statistics/mean.h"

#include <cmath>

namespace {

/// sqrt((S2 - SD * SD / W) / W): the second moment of the deviations about the
/// computed mean, less the part that the rounding of that mean leaves in
/// them (SD, the exact total of the deviations, rounded once). For a constant
/// attribute every deviation is the same tiny power-of-two multiple, both terms
/// are exact and equal, and the result is exactly 0. Rounding can leave a
/// tiny negative variance; it is taken as 0.
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
// rank; every product is a new attribute released before returning.

double stdev(Attribute& x)
{
    const double m = mean(x);
    const Attribute d = x + scalar_variant(-m);
    const double s2 = sum(d * d);
    const double sd = sum(d);
    const double n = x.size();
    return deviation_from_moments(s2, sd, n);
}

double stdev(Attribute& x, Attribute& w)
{
    const double m = mean(x, w);
    const double weight = sum(w);
    const Attribute d = x + scalar_variant(-m);
    const double s2 = sum((d * d) * w);
    const double sd = sum(d * w);
    return deviation_from_moments(s2, sd, weight);
}
