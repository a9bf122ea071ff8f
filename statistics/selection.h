#ifndef VIRDA_STATISTICS_SELECTION_H
#define VIRDA_STATISTICS_SELECTION_H

// The attribute side of quantile and median: the order statistics come from
// the engine's exact selection over this rank's block, the interpolation
// between them is the library's own (statistics/quantile.h says what both
// compute). Not installed.

#include <vector>

class Attribute;

namespace virda_detail {

/// The interpolation between neighbouring order statistics a <= b at
/// fraction t in [0, 1), as quantile.h defines it.
double interpolate(double a, double b, double t);

/// quantile(x, q), with `operation` ("quantile" or "median") naming the
/// caller in messages. Collective over VIRDA_COMM.
std::vector<double> quantiles_of(Attribute& x, const std::vector<double>& q, const char* operation);

} // namespace virda_detail

#endif
