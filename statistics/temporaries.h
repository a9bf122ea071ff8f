#ifndef VIRDA_STATISTICS_TEMPORARIES_H
#define VIRDA_STATISTICS_TEMPORARIES_H

// The arrays that mean, stdev, poly_fit and function::eval make through
// attribute arithmetic and the runtime's pow: whether one could be made, and
// the weighted product x * w that the weighted moments total.

class Attribute;

namespace virda_detail {

/// Whether `temporary`, computed from `operand` (its left operand, or pow's),
/// could be made. Every result of arithmetic or pow has its left operand's
/// element count, while an array whose creation failed (a block refused on
/// some rank, no window to be had) is left empty on every rank alike; so this
/// compares global counts and is the same on every rank, with no
/// communication and no message (an attribute that holds no array counts as
/// none).
bool made_from(const Attribute& temporary, const Attribute& operand);

/// sum(x * w), with the product taken in double where the element types'
/// own product is int or float (int or float x with int or float w), which
/// wraps or rounds: x is then converted first, as x * 1.0 (exact for int and
/// float), one more array. Every other pair multiplies as it is (a char or
/// composite operand writes the product's messages and totals its zeros).
/// NaN, on every rank, when a temporary could not be made. Collective: the
/// products, then the one sum.
double weighted_total(const Attribute& x, const Attribute& w);

} // namespace virda_detail

#endif
