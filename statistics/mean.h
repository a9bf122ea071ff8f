#ifndef VIRDA_STATISTICS_MEAN_H
#define VIRDA_STATISTICS_MEAN_H

class Attribute;

/// The arithmetic mean of every element of x over all ranks: sum(x) / N, the
/// total exact and rounded once. An empty attribute gives NaN. Elements must
/// be double, float or int (others raise boost::bad_get).
/// Collective: every rank calls it with the same attributes, in the same order;
/// every rank gets the same value.
double mean(Attribute& x);

/// The weighted mean sum(x * w) / sum(w); the second argument is the weight.
/// Collective, as mean(x).
double mean(Attribute& x, Attribute& w);

#endif
