#ifndef VIRDA_STATISTICS_STDEV_H
#define VIRDA_STATISTICS_STDEV_H

class Attribute;

/// The population standard deviation of x over all ranks (divided by N, not
/// N - 1), computed from the deviations D = x - mean(x): sqrt(S2 / N) with
/// S2 = sum(D * D). For nearly constant data, where the rounding of the mean
/// would show, the residual total of the deviations corrects it, so that a
/// constant attribute gives exactly 0. Collective; the same value everywhere.
double stdev(Attribute& x);

/// The weighted population standard deviation, weights w (the second
/// argument): sqrt(sum(D * D * w) / sum(w)) with D = x - mean(x, w), corrected
/// in the same way. Collective. As with mean(x, w), element types without
/// the sums and products the formula needs give their messages on every rank
/// and a result computed from their all-zero arrays, not boost::bad_get.
double stdev(Attribute& x, Attribute& w);

#endif
