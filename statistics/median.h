#ifndef VIRDA_STATISTICS_MEDIAN_H
#define VIRDA_STATISTICS_MEDIAN_H

/// \file
/// median: the exact median of an attribute's elements over all ranks.

class Attribute;

/// The median of every element of x over all ranks: quantile(x, {0.5})[0]
/// (statistics/quantile.h), the middle element for an odd count and, for an
/// even count, the value halfway between the two middle elements, computed as b
/// - (b - a) / 2 (a where the two are equal). Any NaN element gives NaN. An
/// attribute that holds no array writes `quantile_nan(quantile_no_array)`, one
/// without elements `quantile_nan(quantile_no_elements)`, on every rank, and
/// gives NaN; elements other than double, float or int raise boost::bad_get on
/// every rank before any communication. An x that the ranks of VIRDA_COMM do
/// not hold between them (distributed over part of the job) writes
/// `quantile_nan(quantile_not_over_comm)` on every rank and gives NaN.
///
/// Collective over VIRDA_COMM: every rank gets the same value.
double median(Attribute& x);

#endif
