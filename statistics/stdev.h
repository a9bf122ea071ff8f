#ifndef VIRDA_STATISTICS_STDEV_H
#define VIRDA_STATISTICS_STDEV_H

#include "statistics/mean.h" // class Attribute; the means the deviations are taken from

// Population standard deviations (divided by N, or by the weights' total,
// not N - 1), from the deviations D = x - mean(x) or D = x - mean(x, w):
//
//   stdev(x)    = sqrt(sum(D * D) / N)
//   stdev(x, w) = sqrt(sum(D * D * w) / sum(w))
//
// For nearly constant data, where the rounding of the mean would show, the
// residual total of the deviations corrects it, so that a constant attribute
// gives exactly 0. Both are collective and give the same value everywhere.
// As with mean(x, w), element types without the sums and products the
// weighted formula needs give their messages on every rank and a result
// computed from their all-zero arrays, not boost::bad_get.
double stdev(Attribute& x);
double stdev(Attribute& x, Attribute& w);

#endif
