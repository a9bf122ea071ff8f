#ifndef VIRDA_FRAMEWORK_RUNTIME_ATTRIBUTE_FUNCTIONS_H
#define VIRDA_FRAMEWORK_RUNTIME_ATTRIBUTE_FUNCTIONS_H

class Attribute;
class VV1;

/// \file
/// Whole-attribute operations of the framework runtime, defined by the program
/// that loads the statistics library (the reference runtime's definitions are
/// described here).

/// The total of all elements over all ranks, the same on every rank. Collective
/// over the attribute's communicator (one MPI_Allreduce). In the reference
/// runtime the total of double, float and int elements is exact, rounded once;
/// composites give their componentwise total and char a char (modulo 256),
/// neither of which converts to double. An attribute that holds no array writes
/// `sum_no_array` and gives the double 0, with no communication.
VV1 sum(const Attribute& a);

/// A new attribute of a's shape and distribution holding every element raised
/// to the whole, non-negative exponent `e` (all ones for 0), as a double
/// attribute. Collective over a's communicator (the result's window). In the
/// reference runtime, an exponent that is not a whole non-negative number, or a
/// char or composite attribute, writes `pow_unsupported` and gives a zero array
/// of a's element type; an attribute that holds no array writes `pow_no_array`
/// and gives an Empty attribute.
Attribute pow(const Attribute& a, double e);

/// A new attribute of a's shape and distribution holding s times every
/// element, as a * s (Attribute::operator*(scalar_variant)), with its
/// messages. Collective.
Attribute operator*(double s, const Attribute& a);

#endif
