#ifndef VIRDA_STATISTICS_MEAN_H
#define VIRDA_STATISTICS_MEAN_H

/// \file
/// mean: the plain and the weighted mean of an attribute.

class Attribute;

/// The arithmetic mean of every element of x over all ranks: sum(x) / N, the
/// total exact and rounded once. An attribute of no elements gives NaN (0 / 0);
/// one that holds no array also writes `sum_no_array` and `no_array_held`.
/// Elements must be double, float or int (others raise boost::bad_get on every
/// rank, after the collective total). Collective: every rank calls it with the
/// same attributes, in the same order; every rank gets the same value. The
/// totals are the framework's sum over the attribute's own communicator (in the
/// reference runtime), so an attribute distributed over part of the job, each
/// part calling with its own, gives every rank its own part's mean.
double mean(Attribute& x);

/// The weighted mean sum(x * w) / sum(w); the second argument is the weight.
/// Each product x * w is taken in double, as numpy.average takes it: int and
/// float data and weights (whose own products would wrap, like 100000 * 100000
/// in int, or round, like 16777217 * 1.0f in float) are converted to double
/// first, one more temporary array; pairs with a double are multiplied as they
/// are. So the result is the exact total of those double products, rounded
/// once, over the exact weight total. A temporary array that cannot be made (no
/// block on some rank, no window: the creation writes its line on every rank)
/// gives NaN on every rank. Collective, as mean(x). Unlike mean(x), an element
/// type without a product with w's (any char x or w, a composite) raises
/// nothing: the product writes `product_undefined` on every rank and is an
/// all-zero array, so a char x with double weights gives 0 (0 / 0, NaN, when
/// the weights total 0). Only a w whose own total does not convert to double
/// raises boost::bad_get.
double mean(Attribute& x, Attribute& w);

#endif
