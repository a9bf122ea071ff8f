#ifndef VIRDA_STATISTICS_STDEV_H
#define VIRDA_STATISTICS_STDEV_H

#include "statistics/mean.h" // class Attribute; the means the deviations are taken from

/// \file
/// stdev: population standard deviations (divided by N, or by the weights'
/// total, not N - 1), from the deviations D = x - mean(x) or
/// D = x - mean(x, w):
///
///     stdev(x)    = sqrt(sum(D * D) / N)
///     stdev(x, w) = sqrt(sum(D * D * w) / sum(w))
///
/// For nearly constant data, where the rounding of the mean would show, the
/// residual total of the deviations corrects it, so that a constant attribute
/// gives exactly 0.
///
/// The deviations and their products are temporary arrays. When one cannot be
/// made (no block on some rank, no window: the creation writes its line on
/// every rank), the result is NaN on every rank, and no further temporary is
/// attempted.

/// The standard deviation of every element of x over all ranks,
/// sqrt(sum(D * D) / N) with D = x - mean(x). Elements must be double, float
/// or int: others raise boost::bad_get (from mean(x)) on every rank.
///
/// Collective over x's communicator (mean(x), then the
/// deviations' arithmetic and totals): every rank calls it with the same
/// attribute, in the same order; every rank gets the same value.
double stdev(Attribute& x);
/// The weighted standard deviation sqrt(sum(D * D * w) / sum(w)) with D = x -
/// mean(x, w), the mean's products taken in double as mean(x, w) takes them
/// (int and float data and weights). Collective, as stdev(x); every rank gets
/// the same value. As with mean(x, w), element types without the sums and
/// products the weighted formula needs (a char x or w, a composite) raise
/// nothing: the undefined operations write `sum_undefined` or
/// `product_undefined` (each followed by its "If you typed ..." line) on every
/// rank, and the result is computed from their all-zero arrays.
double stdev(Attribute& x, Attribute& w);

#endif
