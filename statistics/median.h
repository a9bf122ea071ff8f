#ifndef VIRDA_STATISTICS_MEDIAN_H
#define VIRDA_STATISTICS_MEDIAN_H

class Attribute;

/// The median of every element of x over all ranks: quantile(x, {0.5})[0]
/// (statistics/quantile.h), the middle element for an odd count and, for an
/// even count, the value halfway between the two middle elements, computed
/// as b - (b - a) / 2 (a where the two are equal). Any NaN element gives
/// NaN. Messages name "median" instead of "quantile"; an attribute without
/// elements or array gives NaN; elements other than double, float or int
/// raise boost::bad_get on every rank before any communication.
///
/// Collective over VIRDA_COMM: every rank gets the same value.
double median(Attribute& x);

#endif
